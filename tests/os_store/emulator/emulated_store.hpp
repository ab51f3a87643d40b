#pragma once

// The Windows personal store emulated for the Linux tests: a store described
// by a JSON file (format in README.md here) behind the same seam as the real
// platform, signing with OpenSSL the way the platform's providers do and
// writing a log of every call. Only tests, benchmarks and the test build of
// the agent link it; the product has no emulator.

#include <expected>
#include <memory>
#include <string>

#include "tolvex/os_store/os_store.hpp"
#include "tolvex/os_store/store_api.hpp"

namespace tolvex::os_store {

inline constexpr const char* EMULATED_STORE_VARIABLE = "TOLVEX_EMULATED_STORE";

struct EmulatedStoreData;

// Reads a store description and every file it names.
std::expected<std::shared_ptr<const EmulatedStoreData>, std::string> load_emulated_store(
    const std::string& path);

// Reads the description named by TOLVEX_EMULATED_STORE at every CertOpenStore,
// as the real store is read afresh by every operation; unset means an empty
// store.
std::shared_ptr<StoreApi> emulated_store_api();

// Always the given, already loaded store.
std::shared_ptr<StoreApi> emulated_store_api(std::shared_ptr<const EmulatedStoreData> data);

// The OS store of the test build of the agent: named "windows", as the
// agent it stands for, over the store TOLVEX_EMULATED_STORE describes.
OsStore emulated_os_store();

}  // namespace tolvex::os_store
