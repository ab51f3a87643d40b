#include <windows.h>
// windows.h first
#include <shellapi.h>

#include <utility>

#include "process.hpp"
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

}  // namespace

struct AgentProcess::Impl {
    Handle process;
    Handle to_child;
    Handle from_child;
    bool reaped = false;
    int status = -1;
};

AgentProcess::AgentProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AgentProcess::AgentProcess(AgentProcess&&) noexcept = default;
AgentProcess& AgentProcess::operator=(AgentProcess&&) noexcept = default;
AgentProcess::~AgentProcess() {
    if (impl_)
        wait();
}

std::expected<AgentProcess, std::string> AgentProcess::start(const std::filesystem::path& program,
                                                             const std::vector<std::string>& args,
                                                             bool show_stderr) {
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
    auto impl = std::make_unique<Impl>();
    impl->process = Handle(pi.hProcess);
    impl->to_child = std::move(in_w);
    impl->from_child = std::move(out_r);
    return AgentProcess(std::move(impl));
}

std::expected<void, std::string> AgentProcess::write_all(std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(bytes.size());
        if (!::WriteFile(impl_->to_child.get(), bytes.data(), want, &n, nullptr)) {
            return std::unexpected(win_error("escrita para o agente"));
        }
        bytes.remove_prefix(n);
    }
    return {};
}

std::expected<std::string, std::string> AgentProcess::read_exact(std::size_t count,
                                                                 std::size_t& got) {
    std::string buf(count, '\0');
    got = 0;
    while (got < count) {
        DWORD n = 0;
        if (!::ReadFile(impl_->from_child.get(), buf.data() + got, static_cast<DWORD>(count - got),
                        &n, nullptr) ||
            n == 0) {
            if (::GetLastError() == ERROR_BROKEN_PIPE || n == 0) {
                return std::unexpected(std::string("o agente encerrou a saída"));
            }
            return std::unexpected(win_error("leitura do agente"));
        }
        got += n;
    }
    return buf;
}

void AgentProcess::close_input() {
    impl_->to_child.reset();
}

int AgentProcess::wait() {
    if (!impl_)
        return -1;
    close_input();
    if (!impl_->reaped) {
        ::WaitForSingleObject(impl_->process.get(), INFINITE);
        DWORD code = 0;
        impl_->status =
            ::GetExitCodeProcess(impl_->process.get(), &code) ? static_cast<int>(code) : -1;
        impl_->reaped = true;
        impl_->from_child.reset();
    }
    return impl_->status;
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
