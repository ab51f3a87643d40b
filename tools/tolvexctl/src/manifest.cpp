#include "manifest.hpp"

#include <nlohmann/json.hpp>

#include "text.hpp"

namespace tolvexctl {

std::string_view browser_name(Browser browser) {
    switch (browser) {
        case Browser::chrome:
            return "chrome";
        case Browser::chromium:
            return "chromium";
        case Browser::edge:
            return "edge";
        case Browser::firefox:
            return "firefox";
    }
    return "?";
}

std::optional<Browser> parse_browser(std::string_view name) {
    for (Browser b : kAllBrowsers) {
        if (browser_name(b) == name)
            return b;
    }
    return std::nullopt;
}

bool valid_host_name(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.back() == '.')
        return false;
    if (name.find("..") != std::string_view::npos)
        return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

bool valid_extension_id(std::string_view id) {
    if (id.size() != 32)
        return false;
    for (char c : id) {
        if (c < 'a' || c > 'p')
            return false;
    }
    return true;
}

std::expected<std::string, std::string> normalise_origin(std::string_view id_or_origin) {
    constexpr std::string_view scheme = "chrome-extension://";
    std::string_view id = id_or_origin;
    if (id.starts_with(scheme)) {
        id.remove_prefix(scheme.size());
        if (id.ends_with('/'))
            id.remove_suffix(1);
    }
    if (!valid_extension_id(id)) {
        return std::unexpected("ID de extensão inválido: " + std::string(id_or_origin) +
                               " (esperados 32 caracteres de a a p)");
    }
    return std::string(scheme) + std::string(id) + "/";
}

std::string manifest_json(Browser browser, const ManifestSpec& spec) {
    nlohmann::ordered_json m;
    m["name"] = spec.host_name;
    m["description"] = "Tolvex: agente de assinatura digital";
    // u8string: the path is written as UTF-8 whatever the platform's narrow
    // encoding is.
    m["path"] = utf8(spec.agent_path);
    m["type"] = "stdio";
    if (uses_origins(browser)) {
        m["allowed_origins"] = spec.origins;
    } else {
        m["allowed_extensions"] = spec.firefox_ids;
    }
    return m.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::filesystem::path linux_manifest_dir(Browser browser, Scope scope,
                                         const std::filesystem::path& home) {
    const bool user = scope == Scope::user;
    switch (browser) {
        case Browser::chrome:
            return user ? home / ".config/google-chrome/NativeMessagingHosts"
                        : "/etc/opt/chrome/native-messaging-hosts";
        case Browser::chromium:
            return user ? home / ".config/chromium/NativeMessagingHosts"
                        : "/etc/chromium/native-messaging-hosts";
        case Browser::edge:
            return user ? home / ".config/microsoft-edge/NativeMessagingHosts"
                        : "/etc/opt/edge/native-messaging-hosts";
        case Browser::firefox:
            return user ? home / ".mozilla/native-messaging-hosts"
                        : "/usr/lib/mozilla/native-messaging-hosts";
    }
    return {};
}

std::wstring windows_registry_key(Browser browser, std::string_view host_name) {
    std::wstring base;
    switch (browser) {
        case Browser::chrome:
            base = L"Software\\Google\\Chrome\\NativeMessagingHosts\\";
            break;
        case Browser::chromium:
            base = L"Software\\Chromium\\NativeMessagingHosts\\";
            break;
        case Browser::edge:
            base = L"Software\\Microsoft\\Edge\\NativeMessagingHosts\\";
            break;
        case Browser::firefox:
            base = L"Software\\Mozilla\\NativeMessagingHosts\\";
            break;
    }
    // Host names are ASCII (valid_host_name), so widening is a plain copy.
    return base + std::wstring(host_name.begin(), host_name.end());
}

}  // namespace tolvexctl
