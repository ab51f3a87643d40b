#pragma once

// Native Messaging host manifests and where each browser looks for them.

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvexctl {

inline constexpr std::string_view kDefaultHostName = "br.com.tolvex.agent";
// The ID that the "key" of browser/extension/manifest.json gives the sample
// extension.
inline constexpr std::string_view kSampleExtensionId = "ngdffiogcclincbckcnpmknjmklpfnkh";
inline constexpr std::string_view kDefaultFirefoxId = "agente@tolvex.com.br";

enum class Browser { chrome, chromium, edge, firefox };
enum class Scope { user, system };

std::string_view browser_name(Browser browser);
std::optional<Browser> parse_browser(std::string_view name);
inline constexpr Browser kAllBrowsers[] = {Browser::chrome, Browser::chromium, Browser::edge,
                                           Browser::firefox};

// Chrome-family hosts name callers by origin, Firefox by add-on ID.
inline bool uses_origins(Browser browser) {
    return browser != Browser::firefox;
}

// Host names: lower-case letters, digits, "_" and ".", not starting or ending
// with "." and without "..".
bool valid_host_name(std::string_view name);

// An extension ID is 32 letters a to p.
bool valid_extension_id(std::string_view id);

// "chrome-extension://ID/" from an ID or from an origin given in full (the
// trailing "/" that the browsers require is added when missing).
std::expected<std::string, std::string> normalise_origin(std::string_view id_or_origin);

struct ManifestSpec {
    std::string host_name;
    std::filesystem::path agent_path;      // absolute
    std::vector<std::string> origins;      // Chrome, Chromium, Edge
    std::vector<std::string> firefox_ids;  // Firefox
};

// The manifest text for one browser (pretty-printed, trailing newline).
std::string manifest_json(Browser browser, const ManifestSpec& spec);

// The directory a browser reads host manifests from on Linux.
std::filesystem::path linux_manifest_dir(Browser browser, Scope scope,
                                         const std::filesystem::path& home);

// The registry key (below HKCU or HKLM) a browser reads on Windows.
std::wstring windows_registry_key(Browser browser, std::string_view host_name);

}  // namespace tolvexctl
