#pragma once

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

}  // namespace tolvex::core
