#pragma once

// The operating system's certificate store as this build has it: the
// current user's personal store on Windows, none elsewhere.

#include <memory>
#include <string>

#include "tolvex/core/source.hpp"

namespace tolvex::os_store {

struct OsStore {
    // What `ping` reports as "os_store": "windows", or "none" where the
    // platform has no store the agent reads.
    std::string name;
    // The certificate source over the store; null when there is none.
    std::unique_ptr<core::CertificateSource> source;
};

// The store of this build (os_store_windows.cpp, os_store_none.cpp).
// Constructing it opens nothing.
OsStore platform_os_store();

}  // namespace tolvex::os_store
