#pragma once

// Byte-level helpers of the Native Messaging link: the 4-byte little-endian
// length prefix and Base64 (standard alphabet, "=" padding).

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace tolvexctl {

// The largest frame a browser sends or accepts, each way.
inline constexpr std::size_t kMaxFrameBytes = 1024 * 1024;

// The 4-byte little-endian length followed by the body.
std::string encode_frame(std::string_view body);

// The body length announced by a 4-byte prefix.
std::uint32_t decode_frame_length(std::string_view prefix);

std::string base64_encode(std::string_view bytes);

// Overwrites a text that held a secret (the PIN); not optimised away.
void wipe(std::string& text);

// Strict decoding: canonical padding, no white space; nothing on failure.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace tolvexctl
