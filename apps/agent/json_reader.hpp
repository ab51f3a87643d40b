#pragma once

// Strict reading of JSON text into typed records through nlohmann's SAX
// parser, with error descriptions of the form "<what> at line L column C".
// The parser itself is iterative, so deeply nested input costs no stack; the
// schema handlers built on this keep only a depth counter for what they skip.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <iterator>
#include <optional>
#include <span>
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

// A string the parser has just read. `text` is the decoded value in the
// parser's own buffer: a field may take it or wipe it.
struct StringValue {
    std::string& text;
    std::string_view message;
    std::size_t end;  // offset just past the closing quote

    // The same text among the message's bytes, when it was written without
    // escapes; a caller that keeps the message may borrow it from there.
    std::optional<std::string_view> in_message() const;
};

// How a record's field is read: a string or a list of strings, and one of
// three kinds of presence.
enum class Shape : std::uint8_t { String, StringList };
enum class Presence : std::uint8_t {
    Required,  // must be there, null refused
    Default,   // may be left out, null refused
    Optional,  // may be left out or null
};

struct FieldRule {
    std::string_view name;
    Shape shape;
    Presence presence;
    // The "expected …" of a type error for the string (of a list: for its
    // elements; a list itself is always "a sequence").
    std::string_view expected;
};

// A field of Record: its rule and where its value goes. `store` takes the
// string (of a list: each element) and returns an error description or
// nothing; `open`, for lists, makes the list present when its "[" is read.
template <class Record>
struct Field {
    FieldRule rule;
    std::optional<std::string> (*store)(Record&, StringValue);
    void (*open)(Record&) = nullptr;
};

template <class Record>
struct Schema {
    std::string_view name;  // "struct <name>" in the reader's texts
    std::span<const Field<Record>> fields;
    // In the array form (the fields' values in table order), whether missing
    // trailing elements take their defaults; if not, the length is exact.
    bool short_arrays;
};

// Reads a record of string and string-list fields (at most 64) from an
// object or from an array in field order. Known keys are matched and refused twice, unknown
// ones skipped by depth counting alone, whatever they hold.
class TableReader : public ReaderBase {
  public:
    bool null() { return value(Kind::Null, "null", nullptr, consumed_); }
    bool boolean(bool v) {
        return value(Kind::Scalar, std::string(found_boolean(v)), nullptr, consumed_);
    }
    bool number_integer(Json::number_integer_t v) {
        return skipping() || value(Kind::Scalar, found_integer(v), nullptr, number_end());
    }
    bool number_unsigned(Json::number_unsigned_t v) {
        return skipping() || value(Kind::Scalar, found_unsigned(v), nullptr, number_end());
    }
    bool number_float(Json::number_float_t v, const Json::string_t&) {
        return skipping() || value(Kind::Scalar, found_float(v), nullptr, number_end());
    }
    bool string(Json::string_t& v) { return skipping() || value(Kind::String, {}, &v, consumed_); }
    bool start_object(std::size_t) { return value(Kind::Object, "map", nullptr, consumed_); }
    bool start_array(std::size_t) { return value(Kind::Array, "sequence", nullptr, consumed_); }
    bool key(Json::string_t& name);
    bool end_object() { return end(); }
    bool end_array() { return end(); }

  protected:
    TableReader(std::string_view text, std::string_view record, std::size_t field_count,
                bool short_arrays)
        : ReaderBase(text),
          record_(record),
          field_count_(field_count),
          short_arrays_(short_arrays) {}
    ~TableReader() = default;

    virtual const FieldRule& rule(std::size_t field) const = 0;
    virtual std::optional<std::string> store(std::size_t field, StringValue value) = 0;
    virtual void open_list(std::size_t field) = 0;

  private:
    enum class Kind : std::uint8_t { Null, Scalar, String, Object, Array };

    bool skipping() const { return skip_from_ > 0; }
    bool value(Kind kind, std::string found, std::string* text, std::size_t end);
    bool put(std::size_t field, std::string& text, std::size_t end);
    bool type_error(Kind kind, const std::string& found, const std::string* text,
                    std::string_view expected, std::size_t end);
    bool end();

    std::string_view record_;
    std::size_t field_count_;
    bool short_arrays_;
    bool array_form_ = false;
    std::size_t depth_ = 0;               // containers open
    std::size_t skip_from_ = 0;           // while skipping: the depth of the skipped container
    std::optional<std::size_t> pending_;  // object form: the field named by the last key
    std::optional<std::size_t> list_;     // inside a list field
    std::size_t elements_ = 0;            // array form: elements seen at the top
    std::uint64_t seen_ = 0;              // object form: fields met, for duplicates
};

template <class Record>
class RecordReader final : public TableReader {
  public:
    RecordReader(std::string_view text, const Schema<Record>& schema)
        : TableReader(text, schema.name, schema.fields.size(), schema.short_arrays),
          fields_(schema.fields) {}

    Record take() { return std::move(record_); }

  private:
    const FieldRule& rule(std::size_t field) const override { return fields_[field].rule; }
    std::optional<std::string> store(std::size_t field, StringValue value) override {
        return fields_[field].store(record_, value);
    }
    void open_list(std::size_t field) override {
        if (fields_[field].open != nullptr)
            fields_[field].open(record_);
    }

    std::span<const Field<Record>> fields_;
    Record record_;
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

// Strict reading of the text as the schema's record; the error is the
// reader's description with its position.
template <class Record>
std::expected<Record, std::string> read_record(std::string_view text,
                                               const Schema<Record>& schema) {
    RecordReader<Record> reader(text, schema);
    if (!parse(text, reader))
        return std::unexpected(*reader.error());
    return reader.take();
}

}  // namespace tolvex::agent::json_reader
