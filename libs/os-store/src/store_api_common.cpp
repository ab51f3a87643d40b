#include <cstring>
#include <string>

#include "tolvex/core/text.hpp"
#include "tolvex/os_store/store_api.hpp"

namespace tolvex::os_store {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool is_high_surrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool is_low_surrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Decodes one scalar value at `i`, advancing it; invalid sequences yield
// U+FFFD and consume one byte.
char32_t decode_utf8(std::string_view text, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    std::size_t length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2, c = b0 & 0x1F, minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3, c = b0 & 0x0F, minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4, c = b0 & 0x07, minimum = 0x10000;
    } else {
        ++i;
        return REPLACEMENT;
    }
    if (i + length > text.size()) {
        ++i;
        return REPLACEMENT;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return REPLACEMENT;
        }
        c = (c << 6) | (b & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return REPLACEMENT;
    }
    i += length;
    return c;
}

}  // namespace

std::string utf16_to_utf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (is_high_surrogate(u) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            const char32_t c = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                               (static_cast<char32_t>(text[i + 1]) - 0xDC00);
            core::append_utf8(out, c);
            ++i;
        } else if (is_high_surrogate(u) || is_low_surrogate(u)) {
            core::append_utf8(out, REPLACEMENT);
        } else {
            core::append_utf8(out, u);
        }
    }
    return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
    std::u16string out;
    // Never more units than bytes: one allocation, so a PIN being converted
    // leaves no stray copies in reallocated memory.
    out.reserve(text.size() + 1);
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = decode_utf8(text, i);
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

Dword key_prov_info_size(const KeyProvInfoValue& value) {
    const std::size_t strings =
        (value.container.size() + 1 + (value.provider_null ? 0 : value.provider.size())) *
        sizeof(char16_t);
    return static_cast<Dword>(sizeof(KeyProvInfo) + strings);
}

void write_key_prov_info(const KeyProvInfoValue& value, void* out) {
    auto* base = static_cast<unsigned char*>(out);
    auto* strings = reinterpret_cast<char16_t*>(base + sizeof(KeyProvInfo));
    KeyProvInfo info{};
    info.container_name = strings;
    std::memcpy(strings, value.container.data(), value.container.size() * sizeof(char16_t));
    strings[value.container.size()] = 0;
    char16_t* provider = strings + value.container.size() + 1;
    if (!value.provider_null) {
        info.provider_name = provider;
        std::memcpy(provider, value.provider.data(), value.provider.size() * sizeof(char16_t));
    }
    info.provider_type = value.provider_type;
    info.key_spec = value.key_spec;
    std::memcpy(base, &info, sizeof info);
}

}  // namespace tolvex::os_store
