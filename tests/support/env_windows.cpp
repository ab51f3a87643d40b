#include <windows.h>

#include <cstdlib>
#include <filesystem>

#include "test_support.hpp"

namespace tolvex::test {
namespace {

std::wstring wide(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())).wstring();
}

std::string narrow(const std::wstring& text) {
    const auto utf8 = std::filesystem::path(text).u8string();
    return std::string(utf8.begin(), utf8.end());
}

}  // namespace

std::optional<std::string> get_env(const char* name) {
    const std::wstring wname = wide(name);
    ::SetLastError(ERROR_SUCCESS);
    const DWORD size = ::GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
    if (size == 0)
        return ::GetLastError() == ERROR_ENVVAR_NOT_FOUND ? std::nullopt
                                                          : std::optional<std::string>("");
    std::wstring value(size, L'\0');
    const DWORD got = ::GetEnvironmentVariableW(wname.c_str(), value.data(), size);
    value.resize(got < size ? got : 0);
    return narrow(value);
}

// The process environment is what the agent's code reads (as UTF-16); the C
// runtime's copy is what a module loaded into the test reads with getenv.
// _wputenv_s keeps both in step but removes a variable given the empty text,
// so the process environment is set last, exactly.
void set_env(const char* name, const std::optional<std::string>& value) {
    const std::wstring wname = wide(name);
    const std::wstring wvalue = value ? wide(*value) : std::wstring();
    ::_wputenv_s(wname.c_str(), wvalue.c_str());
    ::SetEnvironmentVariableW(wname.c_str(), value ? wvalue.c_str() : nullptr);
}

}  // namespace tolvex::test
