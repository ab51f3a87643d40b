#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <optional>

#include "process.hpp"
#include "registration.hpp"

namespace tolvexctl {

namespace {

class RegKey {
  public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() {
        if (key_ != nullptr)
            ::RegCloseKey(key_);
    }
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

std::string narrow(const std::wstring& w) {
    if (w.empty())
        return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr,
                                        0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                          nullptr);
    return s;
}

std::string status_text(LSTATUS status) {
    char buf[32];
    wsprintfA(buf, "0x%08lX", static_cast<unsigned long>(status));
    return std::string("erro do Windows ") + buf;
}

HKEY root_of(Scope scope) {
    return scope == Scope::user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}
const char* root_name(Scope scope) {
    return scope == Scope::user ? "HKCU" : "HKLM";
}

// Per user: under %LOCALAPPDATA%; for all users: beside this program.
std::expected<std::filesystem::path, std::string> manifest_base(const Registration& r) {
    if (r.dir)
        return *r.dir;
    if (r.scope == Scope::user) {
        const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
        if (local == nullptr || *local == L'\0') {
            return std::unexpected(std::string("LOCALAPPDATA não está definido"));
        }
        return std::filesystem::path(local) / L"TolvexSign" / L"NativeMessagingHosts";
    }
    auto own = own_directory();
    if (!own)
        return std::unexpected(std::string("não foi possível achar a pasta do programa"));
    return *own / L"NativeMessagingHosts";
}

// The installer (MSI) records its folder here, under the root it registered
// the host in. While it is there, the default host's keys under that root are
// the installation's: tolvexctl writes none of them and removes none, so
// uninstalling the program stays the one way to remove them and never leaves
// them pointing at manifests of ours.
std::optional<std::wstring> installer_folder(const Registration& r) {
    if (r.dir || r.spec.host_name != kDefaultHostName)
        return std::nullopt;
    const wchar_t* key = L"Software\\TolvexSign";
    DWORD size = 0;
    if (::RegGetValueW(root_of(r.scope), key, L"InstallDir", RRF_RT_REG_SZ, nullptr, nullptr,
                       &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::wstring folder(size / sizeof(wchar_t), L'\0');
    if (::RegGetValueW(root_of(r.scope), key, L"InstallDir", RRF_RT_REG_SZ, nullptr, folder.data(),
                       &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    folder.resize(std::wcslen(folder.c_str()));
    return folder;
}

std::string owned_by_installer(const Registration& r, const std::wstring& folder) {
    return "o registro de " + r.spec.host_name + " em " + root_name(r.scope) +
           " pertence ao Tolvex instalado em " + narrow(folder) +
           " (desinstale o programa pelo Windows para removê-lo)";
}

std::filesystem::path manifest_file(const Registration& r, const std::filesystem::path& base,
                                    Browser b) {
    // The two manifest forms differ, so each browser gets its own file; with
    // --dir the caller chose one form and the plain name.
    if (r.dir)
        return base / (r.spec.host_name + ".json");
    return base / std::string(browser_name(b)) / (r.spec.host_name + ".json");
}

}  // namespace

std::expected<std::vector<std::string>, std::string> install_host(const Registration& r) {
    if (auto ok = check_registration(r); !ok)
        return std::unexpected(ok.error());
    if (auto folder = installer_folder(r))
        return std::unexpected(owned_by_installer(r, *folder) +
                               "; para registrar outro agente, use --name ou --dir");
    auto base = manifest_base(r);
    if (!base)
        return std::unexpected(base.error());
    std::vector<std::string> done;
    for (Browser b : r.browsers) {
        const auto file = manifest_file(r, *base, b);
        if (auto w = write_manifest_file(file, manifest_json(b, r.spec)); !w) {
            return std::unexpected(w.error());
        }
        done.push_back(std::string(browser_name(b)) + ": " + narrow(file.wstring()));
        if (r.dir)
            continue;
        const std::wstring key = windows_registry_key(b, r.spec.host_name);
        RegKey handle;
        LSTATUS st = ::RegCreateKeyExW(root_of(r.scope), key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                       nullptr, handle.out(), nullptr);
        if (st != ERROR_SUCCESS) {
            return std::unexpected(std::string("não foi possível criar a chave ") +
                                   root_name(r.scope) + "\\" + narrow(key) + ": " +
                                   status_text(st));
        }
        const std::wstring value = file.wstring();
        st = ::RegSetValueExW(handle.get(), nullptr, 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        if (st != ERROR_SUCCESS) {
            return std::unexpected(std::string("não foi possível gravar a chave ") +
                                   root_name(r.scope) + "\\" + narrow(key) + ": " +
                                   status_text(st));
        }
        done.push_back(std::string(browser_name(b)) + ": " + root_name(r.scope) + "\\" +
                       narrow(key));
    }
    return done;
}

std::expected<std::vector<std::string>, std::string> uninstall_host(const Registration& r) {
    if (!valid_host_name(r.spec.host_name)) {
        return std::unexpected("nome de host inválido: " + r.spec.host_name);
    }
    auto base = manifest_base(r);
    if (!base)
        return std::unexpected(base.error());
    // Under an installation only manifests of ours, left from before it, go.
    const auto folder = installer_folder(r);
    std::vector<std::string> done;
    if (folder)
        done.push_back("chaves mantidas: " + owned_by_installer(r, *folder));
    for (Browser b : r.browsers) {
        if (!r.dir && !folder) {
            const std::wstring key = windows_registry_key(b, r.spec.host_name);
            const LSTATUS st = ::RegDeleteKeyW(root_of(r.scope), key.c_str());
            if (st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND) {
                return std::unexpected(std::string("não foi possível remover a chave ") +
                                       root_name(r.scope) + "\\" + narrow(key) + ": " +
                                       status_text(st));
            }
            done.push_back(std::string(browser_name(b)) + ": " + root_name(r.scope) + "\\" +
                           narrow(key) + (st == ERROR_SUCCESS ? " removida" : " já não existia"));
        }
        const auto file = manifest_file(r, *base, b);
        auto removed = remove_manifest_file(file);
        if (!removed)
            return std::unexpected(removed.error());
        done.push_back(std::string(browser_name(b)) + ": " + narrow(file.wstring()) +
                       (*removed ? " removido" : " já não existia"));
    }
    // Our folders, once empty, go too (remove() leaves a folder that is not):
    // left behind, they would keep an MSI uninstall from removing its folder.
    if (!r.dir) {
        std::error_code ec;
        for (Browser b : r.browsers)
            std::filesystem::remove(manifest_file(r, *base, b).parent_path(), ec);
        std::filesystem::remove(*base, ec);
        if (r.scope == Scope::user)
            std::filesystem::remove(base->parent_path(), ec);  // %LOCALAPPDATA%\TolvexSign
    }
    return done;
}

}  // namespace tolvexctl
