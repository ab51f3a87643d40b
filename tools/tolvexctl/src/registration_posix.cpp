#include <cstdlib>

#include "registration.hpp"
#include "text.hpp"

namespace tolvexctl {

namespace {

std::expected<std::filesystem::path, std::string> manifest_dir(const Registration& r, Browser b) {
    if (r.dir)
        return *r.dir;
    if (r.scope == Scope::system)
        return linux_manifest_dir(b, r.scope, {});
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        return std::unexpected(std::string("HOME não está definido"));
    }
    return linux_manifest_dir(b, r.scope, home);
}

}  // namespace

std::expected<std::vector<std::string>, std::string> install_host(const Registration& r) {
    if (auto ok = check_registration(r); !ok)
        return std::unexpected(ok.error());
    std::vector<std::string> done;
    for (Browser b : r.browsers) {
        auto dir = manifest_dir(r, b);
        if (!dir)
            return std::unexpected(dir.error());
        const auto file = *dir / (r.spec.host_name + ".json");
        if (auto w = write_manifest_file(file, manifest_json(b, r.spec)); !w) {
            return std::unexpected(w.error());
        }
        done.push_back(std::string(browser_name(b)) + ": " + utf8(file));
    }
    return done;
}

std::expected<std::vector<std::string>, std::string> uninstall_host(const Registration& r) {
    if (!valid_host_name(r.spec.host_name)) {
        return std::unexpected("nome de host inválido: " + r.spec.host_name);
    }
    std::vector<std::string> done;
    for (Browser b : r.browsers) {
        auto dir = manifest_dir(r, b);
        if (!dir)
            return std::unexpected(dir.error());
        const auto file = *dir / (r.spec.host_name + ".json");
        auto removed = remove_manifest_file(file);
        if (!removed)
            return std::unexpected(removed.error());
        done.push_back(std::string(browser_name(b)) + ": " + utf8(file) +
                       (*removed ? " removido" : " já não existia"));
    }
    return done;
}

}  // namespace tolvexctl
