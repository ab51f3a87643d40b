#include <windows.h>

#include "tolvex/core/text.hpp"
#include "tolvex/pkcs11/dynlib.hpp"

namespace tolvex::pkcs11 {

std::expected<DynLib, std::string> DynLib::open(const std::filesystem::path& path) {
    static const std::string kFailed = "libloading error (LoadLibraryExW failed)";
    // A pipe or a device named as the module is not waited on.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return std::unexpected(kFailed);
    // Keep Windows from showing its own error dialog for a missing or broken
    // library; the previous mode is put back afterwards.
    DWORD previous = 0;
    const bool changed = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous) != 0;
    // The module's own DLLs from its folder, the rest from the system
    // folders; never the current folder or PATH. A relative path is refused
    // by the loader under these flags, so no module is planted there either.
    HMODULE handle = LoadLibraryExW(
        path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (changed && previous != SEM_FAILCRITICALERRORS)
        SetThreadErrorMode(previous, nullptr);
    if (handle == nullptr)
        return std::unexpected(kFailed);
    // Pinned: the module's code stays mapped for the life of the process,
    // although each request still loads, initialises, finalizes and
    // releases it (FreeLibrary then only drops our reference). Drivers leave
    // threads running after C_Finalize, and unmapped code under one of them
    // kills the agent; the module's static state is not rebuilt per load
    // either. A module that cannot be pinned is not used.
    HMODULE pinned = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(handle), &pinned)) {
        FreeLibrary(handle);
        return std::unexpected(kFailed);
    }
    return DynLib(reinterpret_cast<void*>(handle));
}

void* DynLib::symbol(const char* name) const {
    if (handle_ == nullptr)
        return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void DynLib::close() {
    if (handle_ != nullptr)
        FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
}

std::string display_text(const std::filesystem::path& path) {
    return core::to_utf8(core::utf16_units(std::wstring_view(path.native())))
        .value_or(std::string("?"));
}

}  // namespace tolvex::pkcs11
