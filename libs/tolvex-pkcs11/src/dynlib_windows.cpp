#include <windows.h>

#include "tolvex/core/text.hpp"
#include "tolvex/pkcs11/dynlib.hpp"

namespace tolvex::pkcs11 {

std::expected<DynLib, std::string> DynLib::open(const std::filesystem::path& path) {
    // Keep Windows from showing its own error dialog for a missing or broken
    // library; the previous mode is put back afterwards.
    DWORD previous = 0;
    const bool changed = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous) != 0;
    HMODULE handle = LoadLibraryExW(path.c_str(), nullptr, 0);
    if (changed && previous != SEM_FAILCRITICALERRORS)
        SetThreadErrorMode(previous, nullptr);
    if (handle == nullptr)
        return std::unexpected(std::string("libloading error (LoadLibraryExW failed)"));
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

// UTF-16 to UTF-8 by hand: an unpaired surrogate makes the path "?", where
// the standard library would throw.
std::string display_text(const std::filesystem::path& path) {
    const std::wstring& w = path.native();
    std::string out;
    for (std::size_t i = 0; i < w.size(); ++i) {
        char32_t c = static_cast<char16_t>(w[i]);
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= w.size())
                return "?";
            char32_t low = static_cast<char16_t>(w[i + 1]);
            if (low < 0xDC00 || low > 0xDFFF)
                return "?";
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return "?";
        }
        core::append_utf8(out, c);
    }
    return out;
}

}  // namespace tolvex::pkcs11
