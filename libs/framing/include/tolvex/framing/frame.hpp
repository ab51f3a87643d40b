#pragma once

// Native Messaging frames: a 4-byte little-endian length that counts the
// body alone, then the body, at most MAX_FRAME_BYTES each way. The agent,
// tolvexctl, the tests and the benchmarks all frame with this: the format on
// the wire is the contract between them, so one codec serves every side.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "tolvex/framing/stream.hpp"

namespace tolvex::framing {

inline constexpr std::size_t MAX_FRAME_BYTES = 1048576;
inline constexpr std::size_t LENGTH_BYTES = 4;

std::array<char, LENGTH_BYTES> encode_length(std::uint32_t length);
std::uint32_t decode_length(std::span<const char, LENGTH_BYTES> prefix);
// The length and the body, for a whole stream written at once (tests).
std::string encode_frame(std::string_view body);

enum class FrameFault : std::uint8_t {
    Ended,      // the stream ended cleanly, before a frame's first byte
    Truncated,  // the stream ended inside a frame
    TooLarge,   // a length above MAX_FRAME_BYTES, read or about to be written
    Io,         // the stream failed
};

// `text` is the agent's wording of the fault, the one its log carries;
// another side words its own messages from `fault` and `length`.
struct FrameError {
    FrameFault fault;
    std::string text;
    std::uint32_t length = 0;  // TooLarge on reading: the length announced
};

// One body. The first byte is asked for with a single read, so an end of
// the stream there is told from an end inside a frame. An oversized length
// is refused before anything is allocated, and its body is neither read
// nor skipped. After any fault but Ended the position in the stream is
// unknown.
std::expected<std::string, FrameError> read_frame(ByteReader& in);

// One frame, then a flush all the way out. An oversized body writes
// nothing at all, not even the length.
std::expected<void, FrameError> write_frame(ByteWriter& out, std::string_view body);

}  // namespace tolvex::framing
