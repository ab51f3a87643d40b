#include <windows.h>
// windows.h first
#include <shellapi.h>

#include <utility>

#include "process.hpp"
#include "process_child.hpp"
#include "text.hpp"

namespace tolvexctl {

namespace {

class Handle {
  public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = std::exchange(other.h_, nullptr);
        }
        return *this;
    }
    ~Handle() { reset(); }
    void reset() {
        if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(h_);
        h_ = nullptr;
    }
    HANDLE get() const { return h_; }
    HANDLE* out() {
        reset();
        return &h_;
    }

  private:
    HANDLE h_ = nullptr;
};

std::string win_error(const char* what) {
    char buf[32];
    wsprintfA(buf, "0x%08lX", ::GetLastError());
    return std::string(what) + ": erro do Windows " + buf;
}

// Quoting of one argument as the C runtime's command-line parser reads it.
std::wstring quote_argument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            out.append(backslashes * 2 + 1, L'\\');
        else
            out.append(backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

std::wstring widen(const std::string& s) {
    if (s.empty())
        return {};
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

class WindowsChild final : public AgentChild {
  public:
    WindowsChild(Handle process, Handle to_child, Handle from_child)
        : process_(std::move(process)),
          to_child_(std::move(to_child)),
          from_child_(std::move(from_child)) {}

    std::expected<std::size_t, std::string> write_some(std::string_view bytes) override {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(bytes.size());
        if (!::WriteFile(to_child_.get(), bytes.data(), want, &n, nullptr))
            return std::unexpected(win_error("escrita para o agente"));
        return n;
    }

    std::expected<std::size_t, std::string> read_some(char* out, std::size_t size) override {
        DWORD n = 0;
        if (!::ReadFile(from_child_.get(), out, static_cast<DWORD>(size), &n, nullptr)) {
            if (::GetLastError() == ERROR_BROKEN_PIPE)
                return 0;
            return std::unexpected(win_error("leitura do agente"));
        }
        return n;
    }

    void close_input() override { to_child_.reset(); }

    int wait() override {
        ::WaitForSingleObject(process_.get(), INFINITE);
        DWORD code = 0;
        const int status =
            ::GetExitCodeProcess(process_.get(), &code) ? static_cast<int>(code) : -1;
        from_child_.reset();
        return status;
    }

  private:
    Handle process_;
    Handle to_child_;
    Handle from_child_;
};

}  // namespace

std::expected<std::unique_ptr<AgentChild>, std::string> spawn_agent(
    const std::filesystem::path& program, const std::vector<std::string>& args, bool show_stderr) {
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle in_r, in_w, out_r, out_w, err;
    if (!::CreatePipe(in_r.out(), in_w.out(), &sa, 0))
        return std::unexpected(win_error("pipe"));
    if (!::CreatePipe(out_r.out(), out_w.out(), &sa, 0))
        return std::unexpected(win_error("pipe"));
    // Our ends stay in this process only.
    ::SetHandleInformation(in_w.get(), HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(out_r.get(), HANDLE_FLAG_INHERIT, 0);
    if (show_stderr) {
        HANDLE mine = ::GetStdHandle(STD_ERROR_HANDLE);
        ::DuplicateHandle(::GetCurrentProcess(), mine, ::GetCurrentProcess(), err.out(), 0, TRUE,
                          DUPLICATE_SAME_ACCESS);
    } else {
        *err.out() = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                   OPEN_EXISTING, 0, nullptr);
    }

    std::wstring cmdline = quote_argument(program.wstring());
    for (const auto& a : args)
        cmdline += L" " + quote_argument(widen(a));

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_r.get();
    si.hStdOutput = out_w.get();
    si.hStdError = err.get();
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(program.wstring().c_str(), cmdline.data(), nullptr, nullptr, TRUE,
                          CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
        return std::unexpected("não foi possível iniciar o agente " + utf8(program) + ": " +
                               win_error("CreateProcess"));
    }
    Handle thread(pi.hThread);
    return std::make_unique<WindowsChild>(Handle(pi.hProcess), std::move(in_w), std::move(out_r));
}

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
