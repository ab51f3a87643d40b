#include <gtest/gtest.h>

#include "config.hpp"
#include "platform.hpp"
#include "test_support.hpp"

namespace tolvex::agent {
namespace {

using test::ScopedEnv;

TEST(ConfigPathWindows, AppDataJoinedWithBackslashes) {
    ScopedEnv config("TOLVEX_AGENT_CONFIG", std::nullopt);
    {
        ScopedEnv appdata("APPDATA", "C:\\Users\\Jo\xC3\xA3o\\AppData\\Roaming");
        EXPECT_EQ(
            config_path(),
            path_from_utf8("C:\\Users\\Jo\xC3\xA3o\\AppData\\Roaming\\TolvexSign\\agent.json"));
    }
    ScopedEnv appdata("APPDATA", std::nullopt);
    EXPECT_EQ(config_path(), std::nullopt);
}

TEST(ConfigPathWindows, EmptyVariableIsPresent) {
    ScopedEnv appdata("APPDATA", "");
    ScopedEnv config("TOLVEX_AGENT_CONFIG", std::nullopt);
    EXPECT_EQ(config_path(), std::filesystem::path(L"\\TolvexSign\\agent.json"));
}

TEST(DefaultModulesWindows, TheThreeSystemPaths) {
    EXPECT_EQ(platform::default_module_candidates(),
              (std::vector<std::filesystem::path>{L"C:\\Windows\\System32\\eTPKCS11.dll",
                                                  L"C:\\Windows\\System32\\aetpkss1.dll",
                                                  L"C:\\Windows\\System32\\opensc-pkcs11.dll"}));
}

}  // namespace
}  // namespace tolvex::agent
