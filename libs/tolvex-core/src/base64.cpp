#include <array>

#include "tolvex/core/base64.hpp"

namespace tolvex::core {
namespace {

constexpr std::string_view ALPHABET =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> make_table() {
    std::array<std::int8_t, 256> t{};
    for (auto& v : t)
        v = -1;
    for (std::size_t i = 0; i < ALPHABET.size(); ++i) {
        t[static_cast<std::uint8_t>(ALPHABET[i])] = static_cast<std::int8_t>(i);
    }
    return t;
}
constexpr auto DECODE = make_table();

}  // namespace

std::string base64_encode(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t v =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out += ALPHABET[(v >> 18) & 63];
        out += ALPHABET[(v >> 12) & 63];
        out += ALPHABET[(v >> 6) & 63];
        out += ALPHABET[v & 63];
    }
    std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        out += ALPHABET[(v >> 18) & 63];
        out += ALPHABET[(v >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
        out += ALPHABET[(v >> 18) & 63];
        out += ALPHABET[(v >> 12) & 63];
        out += ALPHABET[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

// Only the one canonical spelling of a byte string is accepted, so two
// different texts never name the same bytes.
std::optional<Bytes> base64_decode(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        std::size_t pad = 0;
        if (last) {
            if (text[i + 3] == '=')
                pad = text[i + 2] == '=' ? 2 : 1;
        }
        std::uint32_t v = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            if (j >= 4 - pad) {
                v <<= 6;
                continue;
            }
            std::int8_t d = DECODE[static_cast<std::uint8_t>(text[i + j])];
            if (d < 0)
                return std::nullopt;  // also '=' anywhere but the padding
            v = (v << 6) | static_cast<std::uint32_t>(d);
        }
        // Bits below the last whole byte must be zero.
        if ((pad == 1 && (v & 0xFF) != 0) || (pad == 2 && (v & 0xFFFF) != 0)) {
            return std::nullopt;
        }
        out.push_back(static_cast<std::uint8_t>(v >> 16));
        if (pad < 2)
            out.push_back(static_cast<std::uint8_t>(v >> 8));
        if (pad < 1)
            out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

}  // namespace tolvex::core
