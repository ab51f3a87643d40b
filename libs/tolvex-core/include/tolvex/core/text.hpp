#pragma once

#include <concepts>
#include <optional>
#include <string>
#include <string_view>

namespace tolvex::core {

// Unicode White_Space: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool is_white_space(char32_t c);

// Removes White_Space characters at both ends of UTF-8 text. Bytes that are
// not valid UTF-8 are never white space, so trimming stops at them.
std::string_view trim_white_space(std::string_view text);

bool is_valid_utf8(std::string_view text);

// Appends the UTF-8 encoding of one code point (at most U+10FFFF).
void append_utf8(std::string& out, char32_t cp);

// Lower-cases ASCII A-Z only; every other byte is kept.
std::string ascii_lower(std::string_view text);

// Conversions that must always give text replace what is ill-formed with
// U+FFFD, one for each maximal ill-formed subsequence: in UTF-8 the longest
// start of a well-formed sequence that the next byte cuts short, or else one
// byte ("\xE2\x82" gives one, "\xC0\xAF" two, "\xED\xA0\x80" three); in
// UTF-16 each unpaired surrogate.
std::string to_utf8_lossy(std::string_view bytes);
std::string to_utf8_lossy(std::u16string_view units);
std::u16string to_utf16_lossy(std::string_view bytes);

// UTF-16 to UTF-8, or std::nullopt when the text holds an unpaired surrogate.
std::optional<std::string> to_utf8(std::u16string_view units);

// The code units of a Windows wide string, which are UTF-16 there.
template <class Wide>
requires(std::same_as<Wide, wchar_t> && sizeof(Wide) == sizeof(char16_t)) std::u16string_view
    utf16_units(std::basic_string_view<Wide> text) {
    return {reinterpret_cast<const char16_t*>(text.data()), text.size()};
}

// Full lower-case mapping of UnicodeData.txt and the unconditional entries of
// SpecialCasing.txt ("İ" becomes "i" and U+0307), without the rules that
// depend on context or language: "Σ" always becomes "σ". Bytes that are not
// UTF-8 are kept as they are.
std::string unicode_lower(std::string_view text);

}  // namespace tolvex::core
