#include <windows.h>

#include <filesystem>

#include "token_module.hpp"

namespace tolvex::test_token {

std::string module_file_name() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&reload), &self))
        return {};
    wchar_t buffer[MAX_PATH];
    DWORD n = GetModuleFileNameW(self, buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return {};
    return std::filesystem::path(std::wstring(buffer, n)).filename().string();
}

}  // namespace tolvex::test_token
