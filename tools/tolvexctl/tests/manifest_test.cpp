#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "manifest.hpp"
#include "registration.hpp"

namespace tolvexctl {
namespace {

TEST(Origin, IdsAndOriginsBecomeTheFormChromiumMatches) {
    const std::string id = "ngdffiogcclincbckcnpmknjmklpfnkh";
    const std::string want = "chrome-extension://" + id + "/";
    EXPECT_EQ(normalise_origin(id), want);
    EXPECT_EQ(normalise_origin(want), want);
    // Without the trailing "/" Chromium does not find the host at all.
    EXPECT_EQ(normalise_origin("chrome-extension://" + id), want);
    EXPECT_FALSE(normalise_origin("NGDFFIOGCCLINCBCKCNPMKNJMKLPFNKH"));
    EXPECT_FALSE(normalise_origin("ngdffiogcclincbckcnpmknjmklpfnkz"));
    EXPECT_FALSE(normalise_origin("https://example.com/"));
}

TEST(HostName, FollowsTheBrowsersRules) {
    EXPECT_TRUE(valid_host_name("br.com.tolvex.agent"));
    EXPECT_TRUE(valid_host_name("a_b.c1"));
    EXPECT_FALSE(valid_host_name("Br.com"));
    EXPECT_FALSE(valid_host_name(".a"));
    EXPECT_FALSE(valid_host_name("a."));
    EXPECT_FALSE(valid_host_name("a..b"));
    EXPECT_FALSE(valid_host_name("a/b"));
    EXPECT_FALSE(valid_host_name(""));
}

TEST(Manifest, ChromeAndFirefoxForms) {
    ManifestSpec spec{"br.com.tolvex.agent",
                      "/opt/tolvex/tolvex_agent",
                      {"chrome-extension://ngdffiogcclincbckcnpmknjmklpfnkh/"},
                      {"agente@tolvex.com.br"}};
    auto chrome = nlohmann::json::parse(manifest_json(Browser::chrome, spec));
    EXPECT_EQ(chrome["name"], "br.com.tolvex.agent");
    EXPECT_EQ(chrome["type"], "stdio");
    EXPECT_EQ(chrome["path"], "/opt/tolvex/tolvex_agent");
    EXPECT_EQ(chrome["allowed_origins"], nlohmann::json(spec.origins));
    EXPECT_FALSE(chrome.contains("allowed_extensions"));
    auto firefox = nlohmann::json::parse(manifest_json(Browser::firefox, spec));
    EXPECT_EQ(firefox["allowed_extensions"], nlohmann::json(spec.firefox_ids));
    EXPECT_FALSE(firefox.contains("allowed_origins"));
}

TEST(Manifest, LinuxDirectoriesPerBrowserAndScope) {
    EXPECT_EQ(linux_manifest_dir(Browser::chromium, Scope::user, "/h"),
              "/h/.config/chromium/NativeMessagingHosts");
    EXPECT_EQ(linux_manifest_dir(Browser::chromium, Scope::system, "/h"),
              "/etc/chromium/native-messaging-hosts");
    EXPECT_EQ(linux_manifest_dir(Browser::chrome, Scope::system, "/h"),
              "/etc/opt/chrome/native-messaging-hosts");
    EXPECT_EQ(linux_manifest_dir(Browser::firefox, Scope::user, "/h"),
              "/h/.mozilla/native-messaging-hosts");
    EXPECT_EQ(windows_registry_key(Browser::edge, "a.b"),
              L"Software\\Microsoft\\Edge\\NativeMessagingHosts\\a.b");
}

TEST(Registration, RefusesWhatABrowserWouldNotAccept) {
    Registration r;
    r.browsers = {Browser::chromium};
    r.spec = {"br.com.tolvex.agent", "relative/agent", {"chrome-extension://x/"}, {}};
    EXPECT_FALSE(check_registration(r));  // relative path
    r.spec.agent_path = std::filesystem::absolute("agent");
    EXPECT_TRUE(check_registration(r));
    r.spec.origins.clear();
    EXPECT_FALSE(check_registration(r));
    r.spec.origins = {"chrome-extension://x/"};
    r.browsers.push_back(Browser::firefox);
    EXPECT_FALSE(check_registration(r));  // firefox without an add-on ID
    r.spec.firefox_ids = {"a@b"};
    EXPECT_TRUE(check_registration(r));
    r.dir = std::filesystem::absolute("d");
    EXPECT_FALSE(check_registration(r));  // two forms, one file name
}

}  // namespace
}  // namespace tolvexctl
