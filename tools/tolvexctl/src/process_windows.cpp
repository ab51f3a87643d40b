#include <windows.h>
// windows.h first
#include <shellapi.h>

#include <memory>

#include "process.hpp"

namespace tolvexctl {

std::optional<std::filesystem::path> own_directory() {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0)
            return std::nullopt;
        if (n < buf.size()) {
            buf.resize(n);
            break;
        }
        buf.resize(buf.size() * 2);
    }
    return std::filesystem::path(buf).parent_path();
}

std::string_view agent_file_name() {
    return "tolvex_agent.exe";
}

// argv of a Windows program is in the ANSI code page and loses what that
// page cannot hold; the wide command line has everything.
std::vector<std::string> utf8_arguments(int argc, char** argv) {
    int n = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
    if (wide == nullptr)
        return std::vector<std::string>(argv + 1, argv + argc);
    std::unique_ptr<LPWSTR, decltype(&::LocalFree)> owner(wide, &::LocalFree);
    std::vector<std::string> args;
    for (int i = 1; i < n; ++i) {
        const std::wstring w(wide[i]);
        const int len = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()),
                                              nullptr, 0, nullptr, nullptr);
        std::string s(static_cast<std::size_t>(len), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), len,
                              nullptr, nullptr);
        args.push_back(std::move(s));
    }
    return args;
}

void prepare_console() {
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCP(CP_UTF8);
}

}  // namespace tolvexctl
