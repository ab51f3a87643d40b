#include "manifest.hpp"

#include <nlohmann/json.hpp>

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
    const auto path = spec.agent_path.u8string();
    m["path"] = std::string(path.begin(), path.end());
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

// ---- registration pieces shared by both platforms ----

#include <fstream>
#include <system_error>

#include "registration.hpp"

namespace tolvexctl {

std::expected<void, std::string> check_registration(const Registration& r) {
    if (!valid_host_name(r.spec.host_name)) {
        return std::unexpected("nome de host inválido: " + r.spec.host_name +
                               " (use letras minúsculas, dígitos, '_' e '.')");
    }
    if (!r.spec.agent_path.is_absolute()) {
        return std::unexpected("o caminho do agente precisa ser absoluto: " +
                               r.spec.agent_path.string());
    }
    if (r.browsers.empty())
        return std::unexpected(std::string("nenhum navegador escolhido"));
    bool chrome_form = false;
    bool firefox_form = false;
    for (Browser b : r.browsers) {
        (uses_origins(b) ? chrome_form : firefox_form) = true;
    }
    if (chrome_form && r.spec.origins.empty()) {
        return std::unexpected(std::string("nenhuma extensão permitida (--extension-id)"));
    }
    if (firefox_form && r.spec.firefox_ids.empty()) {
        return std::unexpected(std::string("nenhuma extensão do Firefox permitida (--firefox-id)"));
    }
    if (r.dir && chrome_form && firefox_form) {
        return std::unexpected(
            std::string("--dir recebe um só formato de manifesto: escolha Firefox ou os demais"));
    }
    return {};
}

std::expected<void, std::string> write_manifest_file(const std::filesystem::path& file,
                                                     const std::string& text) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) {
        return std::unexpected("não foi possível criar " + file.parent_path().string() + ": " +
                               ec.message());
    }
    // Written beside and renamed, so a browser never reads half a manifest.
    auto tmp = file;
    tmp += ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out)
            return std::unexpected("não foi possível gravar " + tmp.string());
    }
    std::filesystem::rename(tmp, file, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        return std::unexpected("não foi possível gravar " + file.string());
    }
    return {};
}

std::expected<bool, std::string> remove_manifest_file(const std::filesystem::path& file) {
    std::error_code ec;
    const bool removed = std::filesystem::remove(file, ec);
    if (ec)
        return std::unexpected("não foi possível remover " + file.string() + ": " + ec.message());
    return removed;
}

}  // namespace tolvexctl
