#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <utility>

namespace tolvex::pkcs11 {

// A loaded dynamic library whose reference is dropped when the object goes;
// its code stays mapped until the process ends (see open). The platform part
// (dlopen or LoadLibraryExW) lives in dynlib_posix.cpp / dynlib_windows.cpp.
class DynLib {
  public:
    // The error is the failure text shown to the user.
    static std::expected<DynLib, std::string> open(const std::filesystem::path& path);

    DynLib(DynLib&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    DynLib& operator=(DynLib&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    DynLib(const DynLib&) = delete;
    DynLib& operator=(const DynLib&) = delete;
    ~DynLib() { close(); }

    // The exported symbol, or nullptr.
    void* symbol(const char* name) const;

  private:
    explicit DynLib(void* handle) : handle_(handle) {}
    void close();
    void* handle_ = nullptr;
};

// The path as UTF-8 text, or "?" when it is not valid Unicode.
std::string display_text(const std::filesystem::path& path);

}  // namespace tolvex::pkcs11
