#include "json_reader.hpp"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

#include "tolvex/core/log.hpp"

namespace tolvex::agent::json_reader {

namespace {

bool is_json_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

bool is_number_byte(char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// True when the last non-space byte before `offset` is a comma: the parser's
// "unexpected ']'" then really means a trailing comma.
bool follows_comma(std::string_view text, std::size_t offset) {
    while (offset > 0 && is_json_space(text[offset - 1]))
        --offset;
    return offset > 0 && text[offset - 1] == ',';
}

// Translates nlohmann's syntax-error text into the reader's own wording.
std::string describe(std::string_view what, std::string_view last_token, std::string_view text,
                     std::size_t token_start) {
    if (contains(what, "unexpected end of input")) {
        if (contains(what, "expected '[', '{', or a literal"))
            return "EOF while parsing a value";
        if (contains(what, "while parsing object"))
            return "EOF while parsing an object";
        if (contains(what, "while parsing array"))
            return "EOF while parsing a list";
        return "EOF while parsing a value";
    }
    if (contains(what, "missing closing quote"))
        return "EOF while parsing a string";
    if (contains(what, "control character")) {
        return "control character (\\u0000-\\u001F) found while parsing a string";
    }
    if (contains(what, "ill-formed UTF-8") || contains(what, "invalid BOM")) {
        return last_token.starts_with('"') ? "invalid unicode code point" : "expected value";
    }
    if (contains(what, "surrogate"))
        return "lone leading surrogate in hex escape";
    if (contains(what, "after backslash") || contains(what, "must be followed by 4 hex")) {
        return "invalid escape";
    }
    if (contains(what, "invalid number"))
        return "invalid number";
    // The parser's token text is not reset for structural characters, so the
    // closing bracket is recognised in the message instead.
    bool closing = contains(what, "unexpected '}'") || contains(what, "unexpected ']'");
    if (contains(what, "while parsing object key")) {
        return closing && follows_comma(text, token_start) ? "trailing comma"
                                                           : "key must be a string";
    }
    if (contains(what, "while parsing object separator"))
        return "expected `:`";
    if (contains(what, "while parsing object"))
        return "expected `,` or `}`";
    if (contains(what, "while parsing array"))
        return "expected `,` or `]`";
    if (closing && follows_comma(text, token_start))
        return "trailing comma";
    return "expected value";
}

}  // namespace

std::string position_suffix(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    auto before = text.substr(0, offset);
    std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    auto last_newline = before.rfind('\n');
    std::size_t column =
        last_newline == std::string_view::npos ? offset : offset - last_newline - 1;
    return fmt::format(" at line {} column {}", line, column);
}

std::string found_integer(std::int64_t value) {
    return fmt::format("integer `{}`", value);
}
std::string found_unsigned(std::uint64_t value) {
    return fmt::format("integer `{}`", value);
}

std::string found_float(double value) {
    auto text = fmt::format("{}", value);
    if (text.find_first_of(".eEni") == std::string::npos)
        text += ".0";
    return fmt::format("floating point `{}`", text);
}

std::string found_string(std::string_view value) {
    return "string " + log::quoted(value);
}

bool ReaderBase::fail(std::string description, std::size_t offset) {
    if (!error_)
        error_ = std::move(description) + position_suffix(text_, offset);
    return false;
}

std::size_t ReaderBase::number_end() const {
    // The parser reads one byte past a number unless the number ends the text.
    if (consumed_ > 0 && consumed_ <= text_.size() && !is_number_byte(text_[consumed_ - 1])) {
        return consumed_ - 1;
    }
    return consumed_;
}

bool ReaderBase::parse_error(std::size_t position, const std::string& last_token,
                             const nlohmann::detail::exception& ex) {
    if (complete_) {
        // The value was whole; what follows it is the problem, reported at
        // its first byte.
        std::size_t at = complete_at_;
        while (at < text_.size() && is_json_space(text_[at]))
            ++at;
        return fail("trailing characters", at + 1);
    }
    if (ex.id == 406)
        return fail("number out of range", position);
    std::size_t token_start = position > 0 ? position - 1 : 0;
    return fail(describe(ex.what(), last_token, text_, token_start), position);
}

std::optional<std::string_view> StringValue::in_message() const {
    // The string ends right before the closing quote at `end`.
    if (end < text.size() + 1)
        return std::nullopt;
    std::string_view raw = message.substr(end - 1 - text.size(), text.size());
    if (raw != text)
        return std::nullopt;
    return raw;
}

bool TableReader::type_error(Kind kind, const std::string& found, const std::string* text,
                             std::string_view expected, std::size_t end) {
    std::string what = kind == Kind::String ? found_string(*text) : found;
    return fail("invalid type: " + what + ", expected " + std::string(expected), end);
}

bool TableReader::put(std::size_t field, std::string& text, std::size_t end) {
    if (auto error = store(field, StringValue{text, text_, end}))
        return fail(std::move(*error), end);
    return true;
}

bool TableReader::value(Kind kind, std::string found, std::string* text, std::size_t end) {
    const bool container = kind == Kind::Object || kind == Kind::Array;
    if (skipping()) {
        if (container)
            ++depth_;
        return true;
    }
    if (list_) {
        if (kind != Kind::String)
            return type_error(kind, found, text, rule(*list_).expected, end);
        return put(*list_, *text, end);
    }
    if (depth_ == 0) {
        if (!container)
            return type_error(kind, found, text, fmt::format("struct {}", record_), end);
        array_form_ = kind == Kind::Array;
        depth_ = 1;
        return true;
    }
    std::optional<std::size_t> field;
    if (array_form_) {
        if (elements_ < field_count_)
            field = elements_;
        ++elements_;
    } else {
        field = std::exchange(pending_, std::nullopt);
    }
    if (!field) {
        if (container)
            skip_from_ = ++depth_;
        return true;
    }
    const FieldRule& r = rule(*field);
    if (kind == Kind::Null && r.presence == Presence::Optional)
        return true;
    if (r.shape == Shape::StringList) {
        if (kind != Kind::Array)
            return type_error(kind, found, text, "a sequence", end);
        open_list(*field);
        list_ = field;
        ++depth_;
        return true;
    }
    if (kind != Kind::String)
        return type_error(kind, found, text, r.expected, end);
    return put(*field, *text, end);
}

bool TableReader::key(Json::string_t& name) {
    if (skipping())
        return true;
    pending_.reset();
    for (std::size_t field = 0; field < field_count_; ++field) {
        if (rule(field).name != name)
            continue;
        const std::uint64_t bit = std::uint64_t{1} << field;
        if (seen_ & bit)
            return fail("duplicate field `" + name + "`", consumed_);
        seen_ |= bit;
        pending_ = field;
        break;
    }
    return true;
}

bool TableReader::end() {
    if (skipping()) {
        if (--depth_ < skip_from_)
            skip_from_ = 0;
        return true;
    }
    if (list_) {
        list_.reset();
        --depth_;
        return true;
    }
    depth_ = 0;
    if (array_form_) {
        if (elements_ > field_count_ || (elements_ < field_count_ && !short_arrays_)) {
            return fail(fmt::format("invalid length {}, expected struct {} with {} elements",
                                    elements_, record_, field_count_),
                        consumed_);
        }
    } else {
        for (std::size_t field = 0; field < field_count_; ++field) {
            if (rule(field).presence == Presence::Required &&
                !(seen_ & (std::uint64_t{1} << field)))
                return fail(fmt::format("missing field `{}`", rule(field).name), consumed_);
        }
    }
    mark_complete();
    return true;
}

}  // namespace tolvex::agent::json_reader
