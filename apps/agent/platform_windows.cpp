#include <fcntl.h>
#include <io.h>
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <algorithm>
#include <memory>

#include "platform.hpp"
#include "tolvex/core/text.hpp"

namespace tolvex::agent::platform {

namespace {

std::wstring to_utf16(std::string_view text) {
    std::u16string units = core::to_utf16_lossy(text);
    return std::wstring(units.begin(), units.end());
}

struct LocalFreeDeleter {
    void operator()(LPWSTR* p) const { ::LocalFree(p); }
};

}  // namespace

namespace {

// -1, or -2 when the process has no standard handle at all, is none. Under
// Wine a Unix descriptor closed at start comes back as a handle that claims
// to be a disk file but cannot be used; a transfer of zero bytes tells (it
// does nothing to a file that works, and pipes, whose readers could take an
// empty write for an end, are not asked).
bool usable_standard_handle(int fd) {
    const intptr_t value = ::_get_osfhandle(fd);
    if (value == -1 || value == -2 || value == 0)
        return false;
    auto handle = reinterpret_cast<HANDLE>(value);
    const DWORD type = ::GetFileType(handle);
    if (type != FILE_TYPE_DISK && type != FILE_TYPE_UNKNOWN)
        return true;
    char byte = 0;
    DWORD moved = 0;
    return fd == 0 ? ::ReadFile(handle, &byte, 0, &moved, nullptr) != 0
                   : ::WriteFile(handle, &byte, 0, &moved, nullptr) != 0;
}

}  // namespace

std::optional<int> claim_frame_channel() {
    bool output_closed = false;
    for (int fd = 0; fd <= 2; ++fd) {
        // A C runtime descriptor without a usable handle gets the null
        // device, so the log file cannot be opened as descriptor 1.
        if (usable_standard_handle(fd))
            continue;
        output_closed = output_closed || fd == 1;
        int null = ::_open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (null >= 0 && null != fd) {
            ::_dup2(null, fd);
            ::_close(null);
        }
        const DWORD which[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
        ::SetStdHandle(which[fd], reinterpret_cast<HANDLE>(::_get_osfhandle(fd)));
    }
    if (output_closed)
        return std::nullopt;
    // Frames are binary; log lines end in a bare line feed.
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
    // The real standard output on a handle of its own, not inherited.
    HANDLE self = ::GetCurrentProcess();
    HANDLE output = nullptr;
    if (!::DuplicateHandle(self, reinterpret_cast<HANDLE>(::_get_osfhandle(1)), self, &output, 0,
                           FALSE, DUPLICATE_SAME_ACCESS)) {
        return std::nullopt;
    }
    int channel = ::_open_osfhandle(reinterpret_cast<intptr_t>(output), _O_BINARY | _O_WRONLY);
    if (channel < 0) {
        ::CloseHandle(output);
        return std::nullopt;
    }
    // Whatever else writes to standard output, through the C runtime or the
    // process's standard handle, reaches standard error.
    if (::_dup2(2, 1) != 0)
        return std::nullopt;
    ::SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(::_get_osfhandle(1)));
    return channel;
}

void restrict_library_search() {
    // The system folders and the application's own folder only; a module's
    // own dependencies come from its folder (LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
    // at each load). Never the current folder or PATH.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
}

namespace {

// FILE_PIPE_LOCAL_INFORMATION, queried with NtQueryInformationFile: the SDK
// headers of user mode do not declare it.
struct PipeLocalInformation {
    ULONG type, configuration, maximum_instances, current_instances, inbound_quota,
        read_data_available, outbound_quota, write_quota_available, state, end;
};
constexpr ULONG kPipeClosingState = 4;
constexpr int kFilePipeLocalInformation = 24;
using QueryInformationFile = LONG(WINAPI*)(HANDLE, void*, void*, ULONG, int);

QueryInformationFile query_information_file() {
    static const auto query = reinterpret_cast<QueryInformationFile>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    return query;
}

// The state of our end of the pipe: closing once the browser closed its end.
// False for anything that is not a pipe, or when the query is not available.
bool pipe_closing(HANDLE pipe) {
    auto query = query_information_file();
    if (query == nullptr)
        return false;
    PipeLocalInformation info{};
    struct {
        void* status;
        ULONG_PTR information;
    } io{};
    if (query(pipe, &io, &info, sizeof info, kFilePipeLocalInformation) < 0)
        return false;
    return info.state == kPipeClosingState;
}

}  // namespace

ChannelWatch::ChannelWatch(int channel) : channel_(channel) {
    wake_[0] = reinterpret_cast<std::intptr_t>(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
}

ChannelWatch::~ChannelWatch() {
    if (wake_[0] != 0)
        ::CloseHandle(reinterpret_cast<HANDLE>(wake_[0]));
}

bool ChannelWatch::wait_gone(std::chrono::milliseconds timeout) {
    // Windows has no readiness for a pipe's writing end: its state is
    // looked at every 100 ms.
    auto pipe = reinterpret_cast<HANDLE>(::_get_osfhandle(channel_));
    auto event = reinterpret_cast<HANDLE>(wake_[0]);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pipe_closing(pipe))
            return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            return false;
        auto step = static_cast<DWORD>(std::min<long long>(left, 100));
        if (event != nullptr ? ::WaitForSingleObject(event, step) == WAIT_OBJECT_0
                             : (::Sleep(step), false))
            return false;
    }
}

void ChannelWatch::wake() {
    if (wake_[0] != 0)
        ::SetEvent(reinterpret_cast<HANDLE>(wake_[0]));
}

void exit_now(int status) {
    // Not ExitProcess: it would run the modules' detach code, which may wait
    // on the very thread that hangs.
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(status));
    ::_exit(status);
}

std::optional<CallerOrigin> command_argument(int, char**, int index) {
    // The narrow argv has been through the ANSI code page; the UTF-16
    // command line is what the browser passed.
    int count = 0;
    std::unique_ptr<LPWSTR, LocalFreeDeleter> args(
        ::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (!args || index < 0 || count <= index)
        return std::nullopt;
    std::wstring_view arg(args.get()[index]);
    if (auto strict = core::to_utf8(core::utf16_units(arg)))
        return CallerOrigin{std::move(*strict), true};
    return CallerOrigin{core::to_utf8_lossy(core::utf16_units(arg)), false};
}

std::optional<EnvValue> read_env(const char* name) {
    std::wstring wname = to_utf16(name);
    ::SetLastError(ERROR_SUCCESS);
    DWORD size = ::GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
    if (size == 0) {
        if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND)
            return std::nullopt;
        return EnvValue{std::wstring(), std::string()};
    }
    std::wstring value(size, L'\0');
    DWORD got = ::GetEnvironmentVariableW(wname.c_str(), value.data(), size);
    value.resize(got < size ? got : 0);
    EnvValue out{value, core::to_utf8(core::utf16_units(std::wstring_view(value)))};
    return out;
}

std::optional<std::filesystem::path> default_config_path() {
    auto appdata = read_env("APPDATA");
    if (!appdata)
        return std::nullopt;
    return std::filesystem::path(appdata->native + L"\\TolvexSign\\agent.json");
}

std::vector<std::filesystem::path> default_module_candidates() {
    return {
        L"C:\\Windows\\System32\\eTPKCS11.dll",
        L"C:\\Windows\\System32\\aetpkss1.dll",
        L"C:\\Windows\\System32\\opensc-pkcs11.dll",
    };
}

std::string display_path(const std::filesystem::path& path) {
    return core::to_utf8_lossy(core::utf16_units(std::wstring_view(path.native())));
}

int open_regular_file(const std::filesystem::path& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    // A disk file only: a pipe or a device (CON, NUL) is not a file.
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        return -1;
    }
    int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (fd < 0)
        ::CloseHandle(file);
    return fd;
}

int open_append_shared(const std::filesystem::path& path) {
    HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    // A disk file or a character device (NUL); a named pipe would leave the
    // log at the mercy of whoever reads it.
    const DWORD type = ::GetFileType(file);
    if (type != FILE_TYPE_DISK && type != FILE_TYPE_CHAR) {
        ::CloseHandle(file);
        return -1;
    }
    int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY);
    if (fd < 0)
        ::CloseHandle(file);
    return fd;
}

void close_fd(int fd) {
    ::_close(fd);
}

}  // namespace tolvex::agent::platform
