// Registration steps shared by both platforms.
#include <fstream>
#include <system_error>

#include "registration.hpp"
#include "text.hpp"

namespace tolvexctl {

std::expected<void, std::string> check_registration(const Registration& r) {
    if (!valid_host_name(r.spec.host_name)) {
        return std::unexpected("nome de host inválido: " + r.spec.host_name +
                               " (use letras minúsculas, dígitos, '_' e '.')");
    }
    if (!r.spec.agent_path.is_absolute()) {
        return std::unexpected("o caminho do agente precisa ser absoluto: " +
                               utf8(r.spec.agent_path));
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
        return std::unexpected("não foi possível criar " + utf8(file.parent_path()) + ": " +
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
            return std::unexpected("não foi possível gravar " + utf8(tmp));
    }
    std::filesystem::rename(tmp, file, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        return std::unexpected("não foi possível gravar " + utf8(file));
    }
    return {};
}

std::expected<bool, std::string> remove_manifest_file(const std::filesystem::path& file) {
    std::error_code ec;
    const bool removed = std::filesystem::remove(file, ec);
    if (ec)
        return std::unexpected("não foi possível remover " + utf8(file) + ": " + ec.message());
    return removed;
}

}  // namespace tolvexctl
