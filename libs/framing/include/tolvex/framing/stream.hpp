#pragma once

// Byte streams and the loops over them: one read or write at a time, all of
// a buffer, or exactly so many bytes. A file descriptor (a C runtime
// descriptor on Windows) is the one stream the system gives; buffering goes
// on top of any stream.

#include <array>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace tolvex::framing {

// The input/output layer's wording for a stream that ends before the bytes
// asked for have come, and for a write that takes nothing.
inline constexpr std::string_view UNEXPECTED_END = "failed to fill whole buffer";
inline constexpr std::string_view WRITE_ZERO = "failed to write whole buffer";

// Failures carry the system's text.
using IoResult = std::expected<std::size_t, std::string>;

class ByteReader {
  public:
    virtual ~ByteReader() = default;
    // One read operation at most: 0 means the stream has ended.
    virtual IoResult read_some(char* out, std::size_t size) = 0;
};

class ByteWriter {
  public:
    virtual ~ByteWriter() = default;
    // One write operation at most; how many bytes it took.
    virtual IoResult write_some(const char* data, std::size_t size) = 0;
    // Sends on what a buffer holds; a raw stream holds nothing.
    virtual std::expected<void, std::string> flush() { return {}; }
};

// A descriptor it does not own. Interrupted calls are retried.
class FdStream final : public ByteReader, public ByteWriter {
  public:
    explicit FdStream(int fd) : fd_(fd) {}
    IoResult read_some(char* out, std::size_t size) override;
    IoResult write_some(const char* data, std::size_t size) override;

  private:
    int fd_;
};

// All of `bytes`, else the first failure (WRITE_ZERO when a write takes
// nothing).
std::expected<void, std::string> write_all(ByteWriter& out, std::string_view bytes);

// Exactly `size` bytes, else UNEXPECTED_END or the read's failure.
std::expected<void, std::string> read_exact(ByteReader& in, char* out, std::size_t size);

inline constexpr std::size_t STREAM_BUFFER_BYTES = 8192;

// Reads through a buffer: bytes that arrive together in one read of the
// stream are served from it in turn.
class BufferedReader final : public ByteReader {
  public:
    explicit BufferedReader(ByteReader& in) : in_(in) {}
    BufferedReader(const BufferedReader&) = delete;
    BufferedReader& operator=(const BufferedReader&) = delete;

    IoResult read_some(char* out, std::size_t size) override;
    // Overwrites the bytes already handed out (they may have held a PIN);
    // those not yet read stay.
    void wipe_consumed();

  private:
    ByteReader& in_;
    std::array<char, STREAM_BUFFER_BYTES> buffer_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

// Writes through a buffer; flush() sends it all on.
class BufferedWriter final : public ByteWriter {
  public:
    explicit BufferedWriter(ByteWriter& out) : out_(out) {}
    BufferedWriter(const BufferedWriter&) = delete;
    BufferedWriter& operator=(const BufferedWriter&) = delete;

    // Takes all of `data` or fails.
    IoResult write_some(const char* data, std::size_t size) override;
    std::expected<void, std::string> flush() override;

  private:
    ByteWriter& out_;
    std::array<char, STREAM_BUFFER_BYTES> buffer_{};
    std::size_t used_ = 0;
};

}  // namespace tolvex::framing
