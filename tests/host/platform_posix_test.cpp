#include <gtest/gtest.h>

#include "config.hpp"
#include "platform.hpp"
#include "test_support.hpp"

namespace tolvex::agent {
namespace {

using test::ScopedEnv;

TEST(ConfigPathPosix, AppDataThenXdgThenHome) {
    ScopedEnv config("TOLVEX_AGENT_CONFIG", std::nullopt);
    ScopedEnv home("HOME", "/home/u");
    {
        ScopedEnv appdata("APPDATA", "/data");
        ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg");
        EXPECT_EQ(config_path(), std::filesystem::path("/data/TolvexSign/agent.json"));
    }
    ScopedEnv appdata("APPDATA", std::nullopt);
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg");
        EXPECT_EQ(config_path(), std::filesystem::path("/xdg/TolvexSign/agent.json"));
    }
    ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(config_path(), std::filesystem::path("/home/u/.config/TolvexSign/agent.json"));
    ScopedEnv no_home("HOME", std::nullopt);
    EXPECT_EQ(config_path(), std::nullopt);
}

TEST(DefaultModulesPosix, VendorModulesOnly) {
    auto candidates = platform::default_module_candidates();
    ASSERT_EQ(candidates.size(), 3u);
    EXPECT_EQ(candidates[2], std::filesystem::path("/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so"));
}

TEST(CallerOriginPosix, InvalidUtf8IsMarkedAndShownLossily) {
    char program[] = "agent";
    char good[] = "chrome-extension://a/";
    char bad[] = "chrome-\xff/";
    char* with_good[] = {program, good, nullptr};
    char* with_bad[] = {program, bad, nullptr};
    char* none[] = {program, nullptr};
    EXPECT_EQ(platform::command_argument(2, with_good, 1)->text, good);
    auto invalid = platform::command_argument(2, with_bad, 1);
    EXPECT_FALSE(invalid->unicode);
    EXPECT_EQ(invalid->text, "chrome-\xEF\xBF\xBD/");
    EXPECT_FALSE(platform::command_argument(1, none, 1).has_value());
    EXPECT_FALSE(platform::command_argument(2, with_good, 2).has_value());
}

}  // namespace
}  // namespace tolvex::agent
