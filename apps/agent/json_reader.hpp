#pragma once

// Strict reading of JSON text into typed records through nlohmann's SAX
// parser, with error descriptions of the form "<what> at line L column C".
// The parser itself is iterative, so deeply nested input costs no stack; the
// schema handlers built on this keep only a depth counter for what they skip.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tolvex::agent::json_reader {

using Json = nlohmann::json;

// Walks the text and counts every byte the parser takes, so a handler knows
// where in the text each event happened.
class CountingIterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    CountingIterator() = default;
    CountingIterator(const char* at, std::size_t* consumed) : at_(at), consumed_(consumed) {}

    reference operator*() const { return *at_; }
    CountingIterator& operator++() {
        ++at_;
        if (consumed_ != nullptr)
            ++*consumed_;
        return *this;
    }
    CountingIterator operator++(int) {
        auto before = *this;
        ++*this;
        return before;
    }
    friend bool operator==(const CountingIterator& a, const CountingIterator& b) {
        return a.at_ == b.at_;
    }

  private:
    const char* at_ = nullptr;
    std::size_t* consumed_ = nullptr;
};

// " at line L column C" for the byte offset (bytes before it on its line).
std::string position_suffix(std::string_view text, std::size_t offset);

// serde-style wording of what was found, e.g. "integer `1`", "string \"x\"".
std::string found_integer(std::int64_t value);
std::string found_unsigned(std::uint64_t value);
std::string found_float(double value);
std::string found_string(std::string_view value);
inline constexpr std::string_view found_boolean(bool value) {
    return value ? "boolean `true`" : "boolean `false`";
}

// Shared plumbing for schema handlers: error recording with positions, the
// trailing-text check and the translation of the parser's syntax errors.
class ReaderBase {
  public:
    explicit ReaderBase(std::string_view text) : text_(text) {}

    // SAX parse_error: turns the parser's complaint into our description.
    bool parse_error(std::size_t position, const std::string& last_token,
                     const nlohmann::detail::exception& ex);
    bool binary(Json::binary_t&) { return fail("invalid type: byte array", consumed_); }

    const std::optional<std::string>& error() const { return error_; }

  protected:
    // Records the description (with the position suffix); returns false so
    // the SAX callback that calls it stops the parser.
    bool fail(std::string description, std::size_t offset);
    // Offset just past the value last reported. Numbers are only known to end
    // once the parser has looked at the following byte, which number_end()
    // leaves out.
    std::size_t value_end() const { return consumed_; }
    std::size_t number_end() const;
    // Called by a handler when the top-level value is finished; whatever
    // follows other than white space is "trailing characters".
    void mark_complete() {
        complete_ = true;
        complete_at_ = consumed_;
    }

    std::string_view text_;
    std::size_t consumed_ = 0;

  private:
    bool complete_ = false;
    std::size_t complete_at_ = 0;
    std::optional<std::string> error_;

    template <class Handler>
    friend bool parse(std::string_view text, Handler& handler);
};

// Runs the strict parser (no comments, nothing after the value) over the text
// with the handler. A leading byte-order mark is refused: only space, tab,
// line feed and carriage return may precede the value.
template <class Handler>
bool parse(std::string_view text, Handler& handler) {
    ReaderBase& base = handler;
    if (text.starts_with("\xEF\xBB\xBF")) {
        base.error_ = "expected value" + position_suffix(text, 1);
        return false;
    }
    base.consumed_ = 0;
    CountingIterator first(text.data(), &base.consumed_);
    CountingIterator last(text.data() + text.size(), nullptr);
    bool ok = Json::sax_parse(first, last, &handler, nlohmann::json::input_format_t::json,
                              /*strict=*/true, /*ignore_comments=*/false);
    if (!ok && !base.error_)
        base.error_ = "expected value" + position_suffix(text, base.consumed_);
    return ok && !base.error_;
}

}  // namespace tolvex::agent::json_reader
