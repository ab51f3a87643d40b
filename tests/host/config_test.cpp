#include "config.hpp"

#include <gtest/gtest.h>

#include "platform.hpp"
#include "test_support.hpp"

namespace tolvex::agent {
namespace {

using test::ScopedEnv;
using test::TempDir;

TEST(ConfigReading, AcceptedForms) {
    auto empty = parse_config("{}");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->pkcs11_modules.empty());
    EXPECT_FALSE(empty->log_file);

    auto full =
        parse_config(R"({"comment":{"x":[1,{"log_file":2}]},"pkcs11_modules":["a.so"," b .so"],)"
                     R"("log_file":"/var/log/x.log","comment":null})");
    ASSERT_TRUE(full) << full.error();
    EXPECT_EQ(full->pkcs11_modules,
              (std::vector<std::filesystem::path>{"a.so", " b .so"}));  // taken as they stand
    EXPECT_EQ(full->log_file, std::filesystem::path("/var/log/x.log"));

    auto null_log = parse_config(R"({"log_file":null})");
    ASSERT_TRUE(null_log);
    EXPECT_FALSE(null_log->log_file);

    auto array = parse_config(R"([["m"],"l"])");
    ASSERT_TRUE(array) << array.error();
    EXPECT_EQ(array->pkcs11_modules, std::vector<std::filesystem::path>{"m"});
    EXPECT_EQ(array->log_file, std::filesystem::path("l"));
    EXPECT_TRUE(parse_config("[]"));
    EXPECT_TRUE(parse_config("[[]]"));

    auto unicode = parse_config(R"({"log_file":"C:\\Usu\u00e1rios\\log"})");
    ASSERT_TRUE(unicode);
    EXPECT_EQ(unicode->log_file, path_from_utf8("C:\\Usu\xC3\xA1rios\\log"));
}

TEST(ConfigReading, InvalidFiles) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {R"({"pkcs11_modules":[],"pkcs11_modules":[]})",
         "duplicate field `pkcs11_modules` at line 1 column 37"},
        {R"({"log_file":"a","log_file":null})", "duplicate field `log_file` at line 1 column 26"},
        {R"({"pkcs11_modules":null})",
         "invalid type: null, expected a sequence at line 1 column 22"},
        {R"({"pkcs11_modules":["a",1]})",
         "invalid type: integer `1`, expected path string at line 1 column 24"},
        {R"({"log_file":3})",
         "invalid type: integer `3`, expected path string at line 1 column 13"},
        {R"([[],null,1])",
         "invalid length 3, expected struct AgentConfig with 2 elements at line 1 "
         "column 11"},
        {"", "EOF while parsing a value at line 1 column 0"},
        {"  \n ", "EOF while parsing a value at line 2 column 1"},
        {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        {"{} {}", "trailing characters at line 1 column 4"},
        {"[\"x\"]", "invalid type: string \"x\", expected a sequence at line 1 column 4"},
    };
    for (const auto& [text, description] : cases) {
        auto got = parse_config(text);
        ASSERT_FALSE(got) << text;
        EXPECT_EQ(got.error(), description) << text;
    }
}

TEST(ConfigLoading, InvalidFileIsReportedOnceAndGivesDefaults) {
    TempDir dir;
    auto path = dir.path() / "agent.json";
    test::write_text_file(path, R"({"log_file":"x.log","pkcs11_modules":[],"pkcs11_modules":[]})");
    ::testing::internal::CaptureStderr();
    AgentConfig config = load_config(path);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(config.log_file);  // nothing of an invalid file is used
    EXPECT_EQ(err, "configuração inválida em " + platform::display_path(path) +
                       ": duplicate field `pkcs11_modules` at line 1 column 56\n");
}

TEST(ConfigLoading, UnreadableFilesGiveDefaultsSilently) {
    TempDir dir;
    test::write_text_file(dir.path() / "latin1.json", "{\"log_file\":\"\xE9\"}");
    for (const auto& path : {dir.path() / "missing.json", dir.path(), dir.path() / "latin1.json",
                             std::filesystem::path()}) {
        ::testing::internal::CaptureStderr();
        AgentConfig config = load_config(path);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << path;
        EXPECT_FALSE(config.log_file);
    }
    EXPECT_FALSE(load_config(std::nullopt).log_file);

    test::write_text_file(dir.path() / "good.json", R"({"log_file":"g.log"})");
    EXPECT_EQ(load_config(dir.path() / "good.json").log_file, std::filesystem::path("g.log"));
}

TEST(ConfigPath, ExplicitVariableWinsEvenWhenEmpty) {
    ScopedEnv appdata("APPDATA", "/somewhere");
    {
        ScopedEnv config("TOLVEX_AGENT_CONFIG", "/etc/x.json");
        EXPECT_EQ(config_path(), std::filesystem::path("/etc/x.json"));
    }
    ScopedEnv config("TOLVEX_AGENT_CONFIG", "");
    EXPECT_EQ(config_path(), std::filesystem::path());
}

TEST(ModulePaths, SplittingRule) {
    using Pieces = std::vector<std::string>;
    EXPECT_EQ(split_path_list<char>("a.dll;;b.dll;"), (Pieces{"a.dll", "b.dll"}));
    EXPECT_EQ(split_path_list<char>(R"("C:\x;y\p.dll";q.dll)"),
              (Pieces{R"(C:\x;y\p.dll)", "q.dll"}));
    EXPECT_EQ(split_path_list<char>(" a ; b"), (Pieces{" a ", " b"}));
    EXPECT_EQ(split_path_list<char>(""), Pieces{});
    EXPECT_EQ(split_path_list<char>(";\"\";"), Pieces{});
    EXPECT_EQ(split_path_list<char>("a\"b;c"), Pieces{"ab;c"});  // an open quote runs to the end
}

TEST(ModulePaths, Precedence) {
    AgentConfig configured;
    configured.pkcs11_modules = {"/nonexistent/one.so", "/nonexistent/one.so", "two.so"};
    {
        ScopedEnv env("TOLVEX_PKCS11_MODULES", "x.so;\"y;z.so\"");
        EXPECT_EQ(module_paths(configured), (std::vector<std::filesystem::path>{"x.so", "y;z.so"}));
    }
    {
        ScopedEnv env("TOLVEX_PKCS11_MODULES", "");
        EXPECT_TRUE(module_paths(configured).empty());
        EXPECT_TRUE(module_paths(AgentConfig{}).empty());
    }
    ScopedEnv env("TOLVEX_PKCS11_MODULES", std::nullopt);
    EXPECT_EQ(module_paths(configured), configured.pkcs11_modules);  // kept, duplicates too
    for (const auto& path : module_paths(AgentConfig{})) {
        EXPECT_TRUE(std::filesystem::is_regular_file(path)) << path;
    }
}

}  // namespace
}  // namespace tolvex::agent
