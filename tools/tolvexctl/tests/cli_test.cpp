#include <gtest/gtest.h>

#include "cli.hpp"

namespace tolvexctl {
namespace {

std::expected<Options, std::string> parse(std::vector<std::string> args) {
    return parse_command_line(args);
}

TEST(CommandLine, InstallOptionsAccumulate) {
    auto o =
        parse({"install", "--browser", "chrome,edge", "--browser=chrome", "--extension-id",
               "ngdffiogcclincbckcnpmknjmklpfnkh", "--system", "--name", "x.y", "--dir", "/d"});
    ASSERT_TRUE(o) << o.error();
    EXPECT_EQ(o->browsers, (std::vector<Browser>{Browser::chrome, Browser::edge}));
    EXPECT_EQ(o->extension_ids.size(), 1u);
    EXPECT_EQ(o->scope, Scope::system);
    EXPECT_EQ(o->host_name, "x.y");
    EXPECT_EQ(o->dir, std::filesystem::path("/d"));
}

TEST(CommandLine, PinIsNeverTakenFromArguments) {
    for (auto args : {std::vector<std::string>{"sign", "--pin", "1234"},
                      std::vector<std::string>{"sign", "--pin=1234"}}) {
        auto o = parse(args);
        ASSERT_FALSE(o);
        EXPECT_NE(o.error().find("--pin-stdin"), std::string::npos);
        EXPECT_EQ(o.error().find("1234"), std::string::npos) << "the PIN must not be echoed";
    }
}

TEST(CommandLine, SignNeedsThumbprintAndExactlyOneInput) {
    EXPECT_FALSE(parse({"sign", "--data-file", "f"}));
    EXPECT_FALSE(parse({"sign", "--thumbprint", "ab"}));
    EXPECT_FALSE(parse({"sign", "--thumbprint", "ab", "--data-file", "f", "--hash-file", "g"}));
    auto o = parse(
        {"sign", "--thumbprint", "ab", "--data-file", "f", "--pin-stdin", "--digest", "SHA-384"});
    ASSERT_TRUE(o) << o.error();
    EXPECT_TRUE(o->pin_stdin);
    EXPECT_EQ(o->digest, "SHA-384");
    EXPECT_FALSE(parse({"sign", "--thumbprint", "ab", "--data-file", "f", "--digest", "sha256"}));
}

TEST(CommandLine, RejectsMisplacedAndUnknownOptions) {
    EXPECT_FALSE(parse({}));
    EXPECT_FALSE(parse({"frobnicate"}));
    EXPECT_FALSE(parse({"ping", "--browser", "chrome"}));  // registration option
    EXPECT_FALSE(parse({"install", "--origin", "x"}));     // agent option
    EXPECT_FALSE(parse({"ping", "--bogus"}));
    EXPECT_FALSE(parse({"install", "--browser", "safari"}));
    EXPECT_FALSE(parse({"install", "--name"}));  // value missing
    EXPECT_FALSE(parse({"ping", "--json=yes"}));
    EXPECT_TRUE(parse({"ping", "--agent", "/a", "--origin", "chrome-extension://x/", "--json"}));
}

}  // namespace
}  // namespace tolvexctl
