#include <fcntl.h>
#include <io.h>
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <fmt/format.h>

#include "platform.hpp"

namespace tolvex::agent::platform {

namespace {

std::string error_text(int error) {
    return fmt::format("{} (os error {})", std::strerror(error), error);
}

// UTF-16 to UTF-8. Strict: std::nullopt when the text holds an unpaired
// surrogate. Otherwise such code units become U+FFFD.
std::optional<std::string> to_utf8(std::wstring_view text, bool strict) {
    if (text.empty())
        return std::string();
    DWORD flags = strict ? WC_ERR_INVALID_CHARS : 0;
    int size = ::WideCharToMultiByte(CP_UTF8, flags, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::nullopt;
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, flags, text.data(), static_cast<int>(text.size()), out.data(),
                          size, nullptr, nullptr);
    return out;
}

std::wstring to_utf16(std::string_view text) {
    if (text.empty())
        return {};
    int size =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) {
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                              size);
    }
    return out;
}

struct LocalFreeDeleter {
    void operator()(LPWSTR* p) const { ::LocalFree(p); }
};

}  // namespace

void prepare_standard_streams() {
    // Frames are binary; log lines end in a bare line feed.
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
}

std::expected<std::size_t, std::string> read_fd(int fd, char* buffer, std::size_t size) {
    auto chunk = static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30));
    for (;;) {
        int n = ::_read(fd, buffer, chunk);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno != EINTR)
            return std::unexpected(error_text(errno));
    }
}

std::expected<std::size_t, std::string> write_fd(int fd, const char* buffer, std::size_t size) {
    auto chunk = static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30));
    for (;;) {
        int n = ::_write(fd, buffer, chunk);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno != EINTR)
            return std::unexpected(error_text(errno));
    }
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
    if (auto strict = to_utf8(arg, true))
        return CallerOrigin{std::move(*strict), true};
    return CallerOrigin{to_utf8(arg, false).value_or(std::string()), false};
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
    EnvValue out{value, to_utf8(value, true)};
    return out;
}

void set_env(const char* name, const std::optional<std::string>& value) {
    std::wstring wname = to_utf16(name);
    if (value) {
        ::SetEnvironmentVariableW(wname.c_str(), to_utf16(*value).c_str());
    } else {
        ::SetEnvironmentVariableW(wname.c_str(), nullptr);
    }
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
    return to_utf8(path.native(), false).value_or(std::string());
}

int open_append_shared(const std::filesystem::path& path) {
    HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY);
    if (fd < 0)
        ::CloseHandle(file);
    return fd;
}

void close_fd(int fd) {
    ::_close(fd);
}

}  // namespace tolvex::agent::platform
