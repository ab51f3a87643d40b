#pragma once

// A CERT_KEY_PROV_INFO property value laid out as the platform lays it out,
// for the backends of the tests that hold the property themselves (the
// recording fake, the emulated store).

#include <string>

#include "tolvex/os_store/store_api.hpp"

namespace tolvex::os_store {

// The structure first, then the strings it points at. `provider` is copied
// as given (with whatever NUL it carries, or none); `provider_null` leaves
// pwszProvName null. The pointers inside point into the written buffer, so
// it must not be moved afterwards.
struct KeyProvInfoValue {
    std::u16string container;
    std::u16string provider;
    bool provider_null = false;
    Dword provider_type = 0;
    Dword key_spec = kAtKeyexchange;
};
// Size in bytes of the property value.
Dword key_prov_info_size(const KeyProvInfoValue& value);
// Writes the property value into `out` (at least key_prov_info_size bytes,
// aligned for KeyProvInfo).
void write_key_prov_info(const KeyProvInfoValue& value, void* out);

}  // namespace tolvex::os_store
