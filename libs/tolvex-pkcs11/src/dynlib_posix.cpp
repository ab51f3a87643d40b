#include <dlfcn.h>

#include "tolvex/core/text.hpp"
#include "tolvex/pkcs11/dynlib.hpp"

namespace tolvex::pkcs11 {

std::expected<DynLib, std::string> DynLib::open(const std::filesystem::path& path) {
    // A FIFO or a device named as the module would block dlopen's read.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return std::unexpected("libloading error (dlopen failed: " + display_text(path) +
                               ": not a regular file)");
    }
    dlerror();
    // RTLD_NODELETE: the module's code stays mapped for the life of the
    // process, although each request still loads, initialises, finalizes
    // and releases it. Drivers leave threads running after C_Finalize, and
    // some drag in libraries (opencryptoki's libitm) that do not survive
    // being unloaded and loaded again; unmapped code under either kills the
    // agent. It also keeps the module's static state (descriptors it opened
    // once, its own bookkeeping) from being rebuilt, and leaked, per load.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
        const char* why = dlerror();
        return std::unexpected(std::string("libloading error (dlopen failed: ") +
                               (why != nullptr ? why : "unknown error") + ")");
    }
    return DynLib(handle);
}

void* DynLib::symbol(const char* name) const {
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

void DynLib::close() {
    if (handle_ != nullptr)
        dlclose(handle_);
    handle_ = nullptr;
}

std::string display_text(const std::filesystem::path& path) {
    const std::string& bytes = path.native();
    return core::is_valid_utf8(bytes) ? bytes : std::string("?");
}

}  // namespace tolvex::pkcs11
