#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <utility>

#include "child.hpp"

namespace tolvex::agent_client {

void AgentProcess::Child::release() {
    if (process != 0)
        ::CloseHandle(reinterpret_cast<HANDLE>(std::exchange(process, 0)));
}

void AgentProcess::Child::close_descriptor(int fd) {
    ::_close(fd);
}

std::optional<int> AgentProcess::Child::wait_process(
    std::optional<std::chrono::milliseconds> timeout) {
    const auto handle = reinterpret_cast<HANDLE>(process);
    const DWORD ms = timeout ? static_cast<DWORD>(timeout->count()) : INFINITE;
    if (::WaitForSingleObject(handle, ms) == WAIT_TIMEOUT)
        return std::nullopt;
    DWORD code = 0;
    return ::GetExitCodeProcess(handle, &code) ? static_cast<int>(code) : -1;
}

void AgentProcess::Child::kill_process() {
    ::TerminateProcess(reinterpret_cast<HANDLE>(process), 1);
}

namespace {

std::string win_error(const char* what) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", ::GetLastError());
    return std::string(what) + ": erro do Windows " + code;
}

std::wstring widen(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())).wstring();
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

// A pipe whose `ours` end becomes a descriptor of this process only and
// whose other end the child inherits.
bool make_pipe(HANDLE& theirs, int& ours, bool ours_reads) {
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &sa, 0))
        return false;
    HANDLE mine = ours_reads ? read_end : write_end;
    theirs = ours_reads ? write_end : read_end;
    ::SetHandleInformation(mine, HANDLE_FLAG_INHERIT, 0);
    ours = ::_open_osfhandle(reinterpret_cast<intptr_t>(mine),
                             _O_BINARY | (ours_reads ? _O_RDONLY : 0));
    if (ours < 0)
        ::CloseHandle(mine);
    return ours >= 0;
}

// Starts the agent with `theirs` (stdin, stdout, stderr) as its standard
// handles; `child` gets our ends and the process.
std::expected<void, std::string> start(const LaunchOptions& options, AgentProcess::Child& child,
                                       HANDLE (&theirs)[3]) {
    if (options.search_path || options.environment || options.working_directory ||
        !options.closed_descriptors.empty() || options.error_output == ErrorOutput::Pipe) {
        return std::unexpected(std::string("opção de início do agente não suportada no Windows"));
    }
    if (!make_pipe(theirs[0], child.input, false) || !make_pipe(theirs[1], child.output, true))
        return std::unexpected(win_error("pipe"));
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    switch (options.error_output) {
        case ErrorOutput::Inherit:
            ::DuplicateHandle(::GetCurrentProcess(), ::GetStdHandle(STD_ERROR_HANDLE),
                              ::GetCurrentProcess(), &theirs[2], 0, TRUE, DUPLICATE_SAME_ACCESS);
            break;
        case ErrorOutput::Discard:
            theirs[2] = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &sa, OPEN_EXISTING, 0, nullptr);
            break;
        case ErrorOutput::File:
            theirs[2] = ::CreateFileW(options.error_file.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            break;
        case ErrorOutput::Pipe:
            break;
    }

    std::wstring cmdline = quote_argument(options.program.wstring());
    for (const auto& a : options.arguments)
        cmdline += L" " + quote_argument(widen(a));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = theirs[0];
    si.hStdOutput = theirs[1];
    si.hStdError = theirs[2];
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(options.program.wstring().c_str(), cmdline.data(), nullptr, nullptr, TRUE,
                          CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
        const auto path = options.program.u8string();
        return std::unexpected("não foi possível iniciar o agente " +
                               std::string(path.begin(), path.end()) + ": " +
                               win_error("CreateProcess"));
    }
    ::CloseHandle(pi.hThread);
    child.process = reinterpret_cast<std::intptr_t>(pi.hProcess);
    child.id = static_cast<long>(pi.dwProcessId);
    return {};
}

}  // namespace

std::expected<std::unique_ptr<AgentProcess::Child>, std::string> spawn(
    const LaunchOptions& options) {
    auto child = std::make_unique<AgentProcess::Child>();
    HANDLE theirs[3] = {nullptr, nullptr, nullptr};
    auto started = start(options, *child, theirs);
    for (HANDLE h : theirs) {
        if (h != nullptr && h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);
    }
    if (!started)
        return std::unexpected(std::move(started.error()));
    return child;
}

}  // namespace tolvex::agent_client
