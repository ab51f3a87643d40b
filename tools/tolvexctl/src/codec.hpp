#pragma once

// Base64 (standard alphabet, "=" padding) of the values tolvexctl sends, and
// the wiping of a secret.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace tolvexctl {

std::string base64_encode(std::string_view bytes);

// Overwrites a text that held a secret (the PIN); not optimised away.
void wipe(std::string& text);

// Strict decoding: canonical padding, no white space; nothing on failure.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace tolvexctl
