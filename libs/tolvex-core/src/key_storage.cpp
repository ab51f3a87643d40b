#include <array>

#include "tolvex/core/cert.hpp"
#include "tolvex/core/text.hpp"

namespace tolvex::core {
namespace {

constexpr std::array<std::string_view, 10> CLOUD_PROVIDER_WORDS = {
    "vidaas", "birdid", "safeid",     "neoid", "remoteid",
    "nuvem",  "cloud",  "syngularid", "dexon", "safeweb"};
constexpr std::array<std::string_view, 13> TOKEN_PROVIDER_WORDS = {
    "smart card", "smartcard", "etoken", "safenet", "safesign", "aladdin", "gemalto",
    "watchdata",  "starsign",  "token",  "athena",  "cartao",   "cartão"};
constexpr std::array<std::string_view, 6> SOFTWARE_PROVIDER_WORDS = {
    "software key storage", "enhanced rsa and aes", "enhanced cryptographic",
    "strong cryptographic", "base cryptographic",   "base dss"};

// Lower case of one code point for the scripts provider names are written
// in: ASCII, Latin-1 Supplement, Latin Extended-A, Greek and Coptic (basic
// letters), Cyrillic (U+0400..U+052F) and the Kelvin and Angstrom signs.
// Everything else is returned unchanged. The one multi-character mapping in
// that range, U+0130, is handled by the caller.
char32_t lower_one(char32_t c) {
    if (c >= 'A' && c <= 'Z')
        return c + 0x20;
    if (c < 0xC0)
        return c;
    if (c <= 0xDE)
        return c == 0xD7 ? c : c + 0x20;
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x178)
            return 0xFF;
        if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) {
            return (c % 2 == 0) ? c + 1 : c;
        }
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) {
            return (c % 2 == 1) ? c + 1 : c;
        }
        return c;
    }
    if (c >= 0x370 && c <= 0x3FF) {
        if (c == 0x386)
            return 0x3AC;
        if (c >= 0x388 && c <= 0x38A)
            return c + 37;
        if (c == 0x38C)
            return 0x3CC;
        if (c == 0x38E || c == 0x38F)
            return c + 63;
        if (c >= 0x391 && c <= 0x3AB && c != 0x3A2)
            return c + 0x20;
        return c;
    }
    if (c >= 0x400 && c <= 0x52F) {
        if (c <= 0x40F)
            return c + 0x50;
        if (c <= 0x42F)
            return c + 0x20;
        if (c == 0x4C0)
            return 0x4CF;
        if (c >= 0x4C1 && c <= 0x4CE)
            return (c % 2 == 1) ? c + 1 : c;
        if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0)) {
            return (c % 2 == 0) ? c + 1 : c;
        }
        return c;
    }
    if (c == 0x212A)
        return 'k';
    if (c == 0x212B)
        return 0xE5;
    return c;
}

// Decodes one UTF-8 character; returns its length, or 0 for an invalid byte.
std::size_t decode(std::string_view s, char32_t& cp) {
    auto b = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    std::uint8_t c0 = b(0);
    std::size_t len = c0 < 0x80                  ? 1
                      : c0 >= 0xC2 && c0 <= 0xDF ? 2
                      : c0 >= 0xE0 && c0 <= 0xEF ? 3
                      : c0 >= 0xF0 && c0 <= 0xF4 ? 4
                                                 : 0;
    if (len == 0 || s.size() < len)
        return 0;
    cp = len == 1 ? c0 : len == 2 ? (c0 & 0x1F) : len == 3 ? (c0 & 0x0F) : (c0 & 0x07);
    for (std::size_t i = 1; i < len; ++i) {
        if ((b(i) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(i) & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return len;
}

template <std::size_t N>
bool contains_any(std::string_view text, const std::array<std::string_view, N>& words) {
    for (std::string_view w : words) {
        if (text.find(w) != std::string_view::npos)
            return true;
    }
    return false;
}

}  // namespace

std::string unicode_lower(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        char32_t cp = 0;
        std::size_t len = decode(text, cp);
        if (len == 0) {  // not UTF-8: keep the byte, it can match no word
            out += text.front();
            text.remove_prefix(1);
            continue;
        }
        if (cp == 0x130) {  // capital I with dot above -> i + combining dot
            out += 'i';
            append_utf8(out, 0x307);
        } else {
            append_utf8(out, lower_one(cp));
        }
        text.remove_prefix(len);
    }
    return out;
}

KeyStorage classify_key_storage(std::string_view provider_name) {
    std::string lowered = unicode_lower(provider_name);
    if (contains_any(lowered, CLOUD_PROVIDER_WORDS))
        return KeyStorage::Cloud;
    if (contains_any(lowered, TOKEN_PROVIDER_WORDS))
        return KeyStorage::Token;
    if (contains_any(lowered, SOFTWARE_PROVIDER_WORDS))
        return KeyStorage::File;
    return KeyStorage::Unknown;
}

}  // namespace tolvex::core
