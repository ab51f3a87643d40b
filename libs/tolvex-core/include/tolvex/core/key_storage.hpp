#pragma once

// Where a certificate's private key lives (token, file, cloud), as far as
// the name of its cryptographic provider tells.

#include <cstdint>
#include <string_view>

namespace tolvex::core {

enum class KeyStorage : std::uint8_t { Token = 0, File = 1, Cloud = 2, Unknown = 3 };
std::string_view key_storage_text(KeyStorage storage);  // "token", "file", ...

KeyStorage classify_key_storage(std::string_view provider_name);

}  // namespace tolvex::core
