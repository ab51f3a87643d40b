#include <gtest/gtest.h>

#include <cctype>
#include <sstream>

#include "cli.hpp"
#include "display.hpp"

namespace tolvexctl {
namespace {

std::expected<Options, std::string> parse(std::vector<std::string> args) {
    return parse_command_line(args);
}

const std::string kThumb = "a3320ed262b7dc6e62b0d982e4a4783fda18f67bd7c7ef6682ed454aa5b3ad09";

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
    EXPECT_FALSE(parse({"sign", "--thumbprint", kThumb}));
    EXPECT_FALSE(parse({"sign", "--thumbprint", kThumb, "--data-file", "f", "--hash-file", "g"}));
    // The Portuguese name, and digest names as people write them.
    for (const char* digest : {"SHA-384", "sha384", "Sha_384"}) {
        auto o = parse({"assinar", "--thumbprint", kThumb, "--data-file", "f", "--pin-stdin",
                        "--digest", digest});
        ASSERT_TRUE(o) << o.error();
        EXPECT_EQ(o->command, "sign");
        EXPECT_TRUE(o->pin_stdin);
        EXPECT_EQ(o->digest, "SHA-384");
    }
    EXPECT_FALSE(parse({"sign", "--thumbprint", kThumb, "--data-file", "f", "--digest", "md5"}));
}

TEST(CommandLine, ThumbprintsAsViewersShowThemAndMalformedOnesSayWhy) {
    // Upper case in pairs with colons or blanks, a no-break space and the
    // left-to-right mark that Windows' dialog puts in front.
    std::string upper;
    for (char c : kThumb)
        upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    std::string colons, blanks;
    for (std::size_t i = 0; i < 64; i += 2) {
        colons.append(i ? ":" : "").append(upper, i, 2);
        blanks.append(i == 0 ? "" : i == 32 ? "\xC2\xA0" : " ").append(kThumb, i, 2);
    }
    for (const std::string& form : {upper, colons, blanks, "\xE2\x80\x8E" + colons})
        EXPECT_EQ(normalise_thumbprint(form), kThumb) << form;

    const std::pair<std::string, std::string> malformed[] = {
        {kThumb.substr(0, 40), "SHA-1"},              // what some viewers show
        {kThumb.substr(0, 63), "tem 63 dígitos"},     // one lost in the copy
        {kThumb.substr(0, 63) + "g", "\"g\" não é"},  // not hex
        {kThumb.substr(0, 63) + "é", "\"é\" não é"},  // a whole character
        {"", "tem 0 dígitos"},
    };
    for (const auto& [text, why] : malformed) {
        auto r = normalise_thumbprint(text);
        ASSERT_FALSE(r) << text;
        EXPECT_NE(r.error().find("malformada"), std::string::npos) << r.error();
        EXPECT_NE(r.error().find(why), std::string::npos) << r.error();
    }
}

TEST(CommandLine, HelpAnywhereAndVersion) {
    EXPECT_EQ(parse({"sign", "--thumbprint", "x", "--help"})->command, "help");
    EXPECT_EQ(parse({"certificados", "-h"})->command, "help");
    EXPECT_EQ(parse({"--version"})->command, "version");
    EXPECT_FALSE(parse({"--version", "ping"}));
    EXPECT_EQ(parse({"certificados"})->command, "certs");
    std::istringstream help(usage_text());
    for (std::string line; std::getline(help, line);)
        EXPECT_LE(text_width(line), kColumns) << line;
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
