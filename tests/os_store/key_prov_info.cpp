#include <cstring>
#include <string>

#include "key_prov_info.hpp"

namespace tolvex::os_store {

Dword key_prov_info_size(const KeyProvInfoValue& value) {
    const std::size_t strings =
        (value.container.size() + 1 + (value.provider_null ? 0 : value.provider.size())) *
        sizeof(char16_t);
    return static_cast<Dword>(sizeof(KeyProvInfo) + strings);
}

void write_key_prov_info(const KeyProvInfoValue& value, void* out) {
    auto* base = static_cast<unsigned char*>(out);
    auto* strings = reinterpret_cast<char16_t*>(base + sizeof(KeyProvInfo));
    KeyProvInfo info{};
    info.container_name = strings;
    std::memcpy(strings, value.container.data(), value.container.size() * sizeof(char16_t));
    strings[value.container.size()] = 0;
    char16_t* provider = strings + value.container.size() + 1;
    if (!value.provider_null) {
        info.provider_name = provider;
        std::memcpy(provider, value.provider.data(), value.provider.size() * sizeof(char16_t));
    }
    info.provider_type = value.provider_type;
    info.key_spec = value.key_spec;
    std::memcpy(base, &info, sizeof info);
}

}  // namespace tolvex::os_store
