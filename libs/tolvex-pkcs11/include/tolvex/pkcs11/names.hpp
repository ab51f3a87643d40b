#pragma once

#include <string>
#include <string_view>

#include "tolvex/pkcs11/cryptoki.hpp"

namespace tolvex::pkcs11 {

// The return value's name in mixed case without "CKR_" ("PinIncorrect" for
// CKR_PIN_INCORRECT); values the standard does not define are written
// "Unknown(0x...)" with the value in hexadecimal.
std::string rv_name(CK_RV rv);

// The standard's constant name of a key type ("CKK_DSA"), or
// "unknown (0000002a)"-style text for values the standard does not define.
std::string key_type_name(CK_KEY_TYPE type);

}  // namespace tolvex::pkcs11
