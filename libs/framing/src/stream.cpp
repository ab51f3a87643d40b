#include "tolvex/framing/stream.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fd.hpp"

namespace tolvex::framing {
namespace {

// Retries an interrupted call; a failure carries the system's text.
template <class Call>
IoResult retrying(Call call) {
    for (;;) {
        const long n = call();
        if (n >= 0)
            return static_cast<std::size_t>(n);
        const int error = errno;
        if (error != EINTR) {
            return std::unexpected(std::string(std::strerror(error)) + " (os error " +
                                   std::to_string(error) + ")");
        }
    }
}

}  // namespace

IoResult FdStream::read_some(char* out, std::size_t size) {
    return retrying([&] { return fd::read(fd_, out, size); });
}

IoResult FdStream::write_some(const char* data, std::size_t size) {
    return retrying([&] { return fd::write(fd_, data, size); });
}

std::expected<void, std::string> write_all(ByteWriter& out, std::string_view bytes) {
    while (!bytes.empty()) {
        auto n = out.write_some(bytes.data(), bytes.size());
        if (!n)
            return std::unexpected(std::move(n.error()));
        if (*n == 0)
            return std::unexpected(std::string(WRITE_ZERO));
        bytes.remove_prefix(*n);
    }
    return {};
}

std::expected<void, std::string> read_exact(ByteReader& in, char* out, std::size_t size) {
    while (size > 0) {
        auto n = in.read_some(out, size);
        if (!n)
            return std::unexpected(std::move(n.error()));
        if (*n == 0)
            return std::unexpected(std::string(UNEXPECTED_END));
        out += *n;
        size -= *n;
    }
    return {};
}

IoResult BufferedReader::read_some(char* out, std::size_t size) {
    if (size == 0)
        return 0;
    if (begin_ == end_) {
        // A large read bypasses the buffer, as there is nothing to keep.
        if (size >= buffer_.size())
            return in_.read_some(out, size);
        auto n = in_.read_some(buffer_.data(), buffer_.size());
        if (!n)
            return n;
        begin_ = 0;
        end_ = *n;
    }
    const std::size_t take = std::min(size, end_ - begin_);
    std::memcpy(out, buffer_.data() + begin_, take);
    begin_ += take;
    return take;
}

void BufferedReader::wipe_consumed() {
    // Through a volatile pointer, so the compiler cannot drop the stores.
    volatile char* p = buffer_.data();
    for (std::size_t i = 0; i < begin_; ++i)
        p[i] = 0;
}

IoResult BufferedWriter::write_some(const char* data, std::size_t size) {
    if (used_ + size > buffer_.size()) {
        if (auto flushed = flush(); !flushed)
            return std::unexpected(std::move(flushed.error()));
    }
    if (size >= buffer_.size()) {
        if (auto written = write_all(out_, {data, size}); !written)
            return std::unexpected(std::move(written.error()));
        return size;
    }
    std::memcpy(buffer_.data() + used_, data, size);
    used_ += size;
    return size;
}

std::expected<void, std::string> BufferedWriter::flush() {
    const std::string_view pending(buffer_.data(), used_);
    used_ = 0;
    if (auto written = write_all(out_, pending); !written)
        return written;
    return out_.flush();
}

}  // namespace tolvex::framing
