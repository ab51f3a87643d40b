#pragma once

// Base64 of the protocol's binary values (RFC 4648, standard alphabet).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tolvex/core/types.hpp"

namespace tolvex::core {

// Standard alphabet with "=" padding, no line breaks.
std::string base64_encode(std::span<const std::uint8_t> bytes);
// Strict: canonical padding required, no white space, no URL-safe alphabet,
// zero unused bits. "" decodes to no bytes.
std::optional<Bytes> base64_decode(std::string_view text);

}  // namespace tolvex::core
