#include "tolvex/core/text.hpp"

#include <cstdint>
#include <optional>

namespace tolvex::core {
namespace {

struct Decoded {
    char32_t cp;
    std::size_t len;
};

// Decodes one well-formed UTF-8 sequence at the start of s (no overlongs, no
// surrogates, nothing above U+10FFFF).
std::optional<Decoded> decode_at(std::string_view s) {
    if (s.empty())
        return std::nullopt;
    auto b = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    std::uint8_t c0 = b(0);
    if (c0 < 0x80)
        return Decoded{c0, 1};
    std::size_t len;
    char32_t cp;
    if (c0 >= 0xC2 && c0 <= 0xDF) {
        len = 2;
        cp = c0 & 0x1F;
    } else if (c0 >= 0xE0 && c0 <= 0xEF) {
        len = 3;
        cp = c0 & 0x0F;
    } else if (c0 >= 0xF0 && c0 <= 0xF4) {
        len = 4;
        cp = c0 & 0x07;
    } else {
        return std::nullopt;
    }
    if (s.size() < len)
        return std::nullopt;
    for (std::size_t i = 1; i < len; ++i) {
        if ((b(i) & 0xC0) != 0x80)
            return std::nullopt;
        cp = (cp << 6) | (b(i) & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
        return std::nullopt;
    }
    return Decoded{cp, len};
}

// Length in bytes of the white-space character that ends s, or 0.
std::size_t trailing_white_space(std::string_view s) {
    // A UTF-8 character is at most 4 bytes; try each start position.
    for (std::size_t len = 1; len <= 4 && len <= s.size(); ++len) {
        auto d = decode_at(s.substr(s.size() - len));
        if (d && d->len == len)
            return is_white_space(d->cp) ? len : 0;
    }
    return 0;
}

}  // namespace

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
    while (!text.empty()) {
        auto d = decode_at(text);
        if (!d || !is_white_space(d->cp))
            break;
        text.remove_prefix(d->len);
    }
    while (!text.empty()) {
        std::size_t n = trailing_white_space(text);
        if (n == 0)
            break;
        text.remove_suffix(n);
    }
    return text;
}

bool is_valid_utf8(std::string_view text) {
    while (!text.empty()) {
        auto d = decode_at(text);
        if (!d)
            return false;
        text.remove_prefix(d->len);
    }
    return true;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace tolvex::core
