#pragma once

// Native Messaging frames: a 4-byte little-endian length, then the body.

#include <array>
#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace tolvex::agent {

inline constexpr std::size_t MAX_MESSAGE_BYTES = 1048576;
inline constexpr std::size_t kStreamBufferBytes = 8192;

// Buffered reading of a raw file descriptor. Frames that arrive together in
// one read of the stream are served from the buffer in turn.
class FrameReader {
  public:
    explicit FrameReader(int fd) : fd_(fd) {}
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // One read operation at most: 0 means the stream has ended.
    std::expected<std::size_t, std::string> read_some(char* out, std::size_t size);
    // Exactly `size` bytes, else "failed to fill whole buffer".
    std::expected<void, std::string> read_exact(char* out, std::size_t size);
    // Overwrites the bytes already handed out (a frame that held a PIN);
    // those of frames not yet read stay.
    void wipe_consumed();

  private:
    int fd_;
    std::array<char, kStreamBufferBytes> buffer_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

// Buffered writing of a raw file descriptor.
class FrameWriter {
  public:
    explicit FrameWriter(int fd) : fd_(fd) {}
    FrameWriter(const FrameWriter&) = delete;
    FrameWriter& operator=(const FrameWriter&) = delete;

    std::expected<void, std::string> write(std::string_view bytes);
    std::expected<void, std::string> flush();

  private:
    std::expected<void, std::string> write_through(std::string_view bytes);

    int fd_;
    std::array<char, kStreamBufferBytes> buffer_{};
    std::size_t used_ = 0;
};

// A body, std::nullopt at a clean end of input (before a frame's first
// byte), or the text of the failure.
std::expected<std::optional<std::string>, std::string> read_message(FrameReader& reader);

// Writes one frame and flushes it all the way out.
std::expected<void, std::string> write_message(FrameWriter& writer, std::string_view body);

}  // namespace tolvex::agent
