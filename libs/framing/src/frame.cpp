#include "tolvex/framing/frame.hpp"

namespace tolvex::framing {

std::array<char, LENGTH_BYTES> encode_length(std::uint32_t length) {
    std::array<char, LENGTH_BYTES> out{};
    for (std::size_t i = 0; i < LENGTH_BYTES; ++i)
        out[i] = static_cast<char>((length >> (8 * i)) & 0xff);
    return out;
}

std::uint32_t decode_length(std::span<const char, LENGTH_BYTES> prefix) {
    std::uint32_t n = 0;
    for (std::size_t i = LENGTH_BYTES; i-- > 0;)
        n = (n << 8) | static_cast<unsigned char>(prefix[i]);
    return n;
}

std::string encode_frame(std::string_view body) {
    const auto length = encode_length(static_cast<std::uint32_t>(body.size()));
    std::string out;
    out.reserve(LENGTH_BYTES + body.size());
    out.append(length.data(), length.size());
    out.append(body);
    return out;
}

namespace {

FrameError failed(std::string text) {
    const FrameFault fault = text == UNEXPECTED_END ? FrameFault::Truncated : FrameFault::Io;
    return FrameError{fault, std::move(text)};
}

}  // namespace

std::expected<std::string, FrameError> read_frame(ByteReader& in) {
    std::array<char, LENGTH_BYTES> prefix{};
    auto first = in.read_some(prefix.data(), 1);
    if (!first)
        return std::unexpected(failed(std::move(first.error())));
    if (*first == 0)
        return std::unexpected(FrameError{FrameFault::Ended, {}});
    if (auto rest = read_exact(in, prefix.data() + 1, LENGTH_BYTES - 1); !rest)
        return std::unexpected(failed(std::move(rest.error())));
    const std::uint32_t n = decode_length(prefix);
    // Checked before anything is allocated: a hostile length costs nothing.
    if (n > MAX_FRAME_BYTES) {
        return std::unexpected(
            FrameError{FrameFault::TooLarge,
                       "mensagem de " + std::to_string(n) + " bytes excede o limite", n});
    }
    std::string body(n, '\0');
    if (auto read = read_exact(in, body.data(), n); !read)
        return std::unexpected(failed(std::move(read.error())));
    return body;
}

std::expected<void, FrameError> write_frame(ByteWriter& out, std::string_view body) {
    if (body.size() > MAX_FRAME_BYTES) {
        return std::unexpected(
            FrameError{FrameFault::TooLarge, "resposta excede o limite do Native Messaging"});
    }
    const auto length = encode_length(static_cast<std::uint32_t>(body.size()));
    if (auto r = write_all(out, {length.data(), length.size()}); !r)
        return std::unexpected(failed(std::move(r.error())));
    if (auto r = write_all(out, body); !r)
        return std::unexpected(failed(std::move(r.error())));
    if (auto r = out.flush(); !r)
        return std::unexpected(failed(std::move(r.error())));
    return {};
}

}  // namespace tolvex::framing
