#include "framing.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <fmt/format.h>

#include "platform.hpp"
#include "tolvex/core/types.hpp"

namespace tolvex::agent {

namespace {
constexpr std::string_view kUnexpectedEnd = "failed to fill whole buffer";
}

std::expected<std::size_t, std::string> FrameReader::read_some(char* out, std::size_t size) {
    if (size == 0)
        return 0;
    if (begin_ == end_) {
        // A large read bypasses the buffer, as there is nothing to keep.
        if (size >= buffer_.size())
            return platform::read_fd(fd_, out, size);
        auto n = platform::read_fd(fd_, buffer_.data(), buffer_.size());
        if (!n)
            return n;
        begin_ = 0;
        end_ = *n;
    }
    std::size_t take = std::min(size, end_ - begin_);
    std::memcpy(out, buffer_.data() + begin_, take);
    begin_ += take;
    return take;
}

std::expected<void, std::string> FrameReader::read_exact(char* out, std::size_t size) {
    while (size > 0) {
        auto n = read_some(out, size);
        if (!n)
            return std::unexpected(std::move(n.error()));
        if (*n == 0)
            return std::unexpected(std::string(kUnexpectedEnd));
        out += *n;
        size -= *n;
    }
    return {};
}

void FrameReader::wipe_consumed() {
    core::secure_wipe(buffer_.data(), begin_);
}

std::expected<void, std::string> FrameWriter::write_through(std::string_view bytes) {
    while (!bytes.empty()) {
        auto n = platform::write_fd(fd_, bytes.data(), bytes.size());
        if (!n)
            return std::unexpected(std::move(n.error()));
        if (*n == 0)
            return std::unexpected(std::string("failed to write whole buffer"));
        bytes.remove_prefix(*n);
    }
    return {};
}

std::expected<void, std::string> FrameWriter::write(std::string_view bytes) {
    if (used_ + bytes.size() > buffer_.size()) {
        if (auto flushed = flush(); !flushed)
            return flushed;
    }
    if (bytes.size() >= buffer_.size())
        return write_through(bytes);
    std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
    return {};
}

std::expected<void, std::string> FrameWriter::flush() {
    std::string_view pending(buffer_.data(), used_);
    used_ = 0;
    // Raw descriptors hold nothing of their own, so this reaches the reader.
    return write_through(pending);
}

std::expected<std::optional<std::string>, std::string> read_message(FrameReader& reader) {
    std::array<char, 4> length{};
    auto first = reader.read_some(length.data(), 1);
    if (!first)
        return std::unexpected(std::move(first.error()));
    if (*first == 0)
        return std::optional<std::string>();
    if (auto rest = reader.read_exact(length.data() + 1, 3); !rest) {
        return std::unexpected(std::move(rest.error()));
    }
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i)
        n = (n << 8) | static_cast<unsigned char>(length[i]);
    // Checked before anything is allocated: a hostile length costs nothing.
    if (n > MAX_MESSAGE_BYTES) {
        return std::unexpected(fmt::format("mensagem de {} bytes excede o limite", n));
    }
    std::string body(n, '\0');
    if (auto read = reader.read_exact(body.data(), n); !read) {
        return std::unexpected(std::move(read.error()));
    }
    return std::optional<std::string>(std::move(body));
}

std::expected<void, std::string> write_message(FrameWriter& writer, std::string_view body) {
    if (body.size() > MAX_MESSAGE_BYTES) {
        return std::unexpected(std::string("resposta excede o limite do Native Messaging"));
    }
    auto n = static_cast<std::uint32_t>(body.size());
    std::array<char, 4> length{};
    for (int i = 0; i < 4; ++i)
        length[i] = static_cast<char>((n >> (8 * i)) & 0xff);
    if (auto r = writer.write({length.data(), length.size()}); !r)
        return r;
    if (auto r = writer.write(body); !r)
        return r;
    return writer.flush();
}

}  // namespace tolvex::agent
