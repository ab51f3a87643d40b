#include "tolvex/core/text.hpp"

#include <algorithm>
#include <cstdint>

#include "unicode_lower_table.hpp"

namespace tolvex::core {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

// One step of decoding: a scalar value and its length, or (ok false) the
// length of the maximal ill-formed subsequence that starts here.
struct Decoded {
    char32_t cp;
    std::size_t len;
    bool ok;
};

// Decodes the UTF-8 sequence at the start of non-empty s. The ranges of the
// second byte follow from the lead byte (no overlongs, no surrogates,
// nothing above U+10FFFF); later bytes are 0x80..0xBF.
Decoded decode_utf8(std::string_view s) {
    auto b = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    const std::uint8_t c0 = b(0);
    if (c0 < 0x80)
        return {c0, 1, true};
    std::size_t len = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;
    char32_t cp = 0;
    if (c0 >= 0xC2 && c0 <= 0xDF) {
        len = 2, cp = c0 & 0x1F;
    } else if (c0 >= 0xE0 && c0 <= 0xEF) {
        len = 3, cp = c0 & 0x0F;
        lo = c0 == 0xE0 ? 0xA0 : 0x80;
        hi = c0 == 0xED ? 0x9F : 0xBF;
    } else if (c0 >= 0xF0 && c0 <= 0xF4) {
        len = 4, cp = c0 & 0x07;
        lo = c0 == 0xF0 ? 0x90 : 0x80;
        hi = c0 == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {0, 1, false};
    }
    for (std::size_t i = 1; i < len; ++i) {
        if (i >= s.size() || b(i) < (i == 1 ? lo : 0x80) || b(i) > (i == 1 ? hi : 0xBF))
            return {0, i, false};
        cp = (cp << 6) | (b(i) & 0x3F);
    }
    return {cp, len, true};
}

bool is_high_surrogate(char32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool is_low_surrogate(char32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Decodes the UTF-16 code units at the start of non-empty s: a pair, a
// single unit, or (ok false) one unpaired surrogate.
Decoded decode_utf16(std::u16string_view s) {
    const char32_t u = s[0];
    if (is_high_surrogate(u) && s.size() > 1 && is_low_surrogate(s[1]))
        return {0x10000 + ((u - 0xD800) << 10) + (s[1] - 0xDC00), 2, true};
    if (is_high_surrogate(u) || is_low_surrogate(u))
        return {0, 1, false};
    return {u, 1, true};
}

void append_utf16(std::u16string& out, char32_t cp) {
    if (cp >= 0x10000) {
        out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

// UTF-16 to UTF-8: an unpaired surrogate becomes U+FFFD, or when strict
// makes the whole conversion fail.
std::optional<std::string> utf16_to_utf8(std::u16string_view units, bool strict) {
    std::string out;
    out.reserve(units.size());
    while (!units.empty()) {
        auto d = decode_utf16(units);
        if (!d.ok && strict)
            return std::nullopt;
        append_utf8(out, d.ok ? d.cp : REPLACEMENT);
        units.remove_prefix(d.len);
    }
    return out;
}

// Length in bytes of the white-space character that ends s, or 0.
std::size_t trailing_white_space(std::string_view s) {
    // A UTF-8 character is at most 4 bytes; try each start position.
    for (std::size_t len = 1; len <= 4 && len <= s.size(); ++len) {
        auto d = decode_utf8(s.substr(s.size() - len));
        if (d.ok && d.len == len)
            return is_white_space(d.cp) ? len : 0;
    }
    return 0;
}

constexpr bool sorted_by_code_point() {
    for (std::size_t i = 1; i < unicode::SIMPLE_LOWER.size(); ++i) {
        if (unicode::SIMPLE_LOWER[i - 1].from >= unicode::SIMPLE_LOWER[i].from)
            return false;
    }
    return true;
}
static_assert(sorted_by_code_point(), "the lower-case table is searched by halves");

void append_lower(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp >= 'A' && cp <= 'Z' ? cp + 0x20 : cp);
        return;
    }
    // A handful of entries (only U+0130 so far): a straight search.
    for (const auto& special : unicode::SPECIAL_LOWER) {
        if (special.from == cp) {
            for (std::size_t i = 0; i < special.size; ++i)
                append_utf8(out, special.to[i]);
            return;
        }
    }
    const auto& table = unicode::SIMPLE_LOWER;
    auto it = std::lower_bound(table.begin(), table.end(), cp,
                               [](const auto& row, char32_t c) { return row.from < c; });
    append_utf8(out, it != table.end() && it->from == cp ? it->to : cp);
}

}  // namespace

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
    while (!text.empty()) {
        auto d = decode_utf8(text);
        if (!d.ok || !is_white_space(d.cp))
            break;
        text.remove_prefix(d.len);
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
        auto d = decode_utf8(text);
        if (!d.ok)
            return false;
        text.remove_prefix(d.len);
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

std::string to_utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        auto d = decode_utf8(bytes);
        if (d.ok)
            out.append(bytes.substr(0, d.len));
        else
            append_utf8(out, REPLACEMENT);
        bytes.remove_prefix(d.len);
    }
    return out;
}

std::string to_utf8_lossy(std::u16string_view units) {
    return *utf16_to_utf8(units, /*strict=*/false);
}

std::optional<std::string> to_utf8(std::u16string_view units) {
    return utf16_to_utf8(units, /*strict=*/true);
}

std::u16string to_utf16_lossy(std::string_view bytes) {
    std::u16string out;
    // Never more units than bytes, and room for the NUL that the platform
    // wants: one allocation, so a PIN being converted leaves no stray copies
    // in reallocated memory.
    out.reserve(bytes.size() + 1);
    while (!bytes.empty()) {
        auto d = decode_utf8(bytes);
        append_utf16(out, d.ok ? d.cp : REPLACEMENT);
        bytes.remove_prefix(d.len);
    }
    return out;
}

std::string unicode_lower(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        auto d = decode_utf8(text);
        if (d.ok)
            append_lower(out, d.cp);
        else  // not UTF-8: kept as it is, it can match no word
            out.append(text.substr(0, d.len));
        text.remove_prefix(d.len);
    }
    return out;
}

}  // namespace tolvex::core
