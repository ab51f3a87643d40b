#include "request.hpp"

#include <array>
#include <bitset>

#include "json_reader.hpp"

namespace tolvex::agent {

namespace {

using json_reader::Json;

// Declaration order: also the order of the nine-element array form.
enum class Field : std::uint8_t {
    Id,
    Command,
    Thumbprint,
    Data,
    Hash,
    DataList,
    Hashes,
    DigestAlgorithm,
    Pin,
};
constexpr std::size_t kFieldCount = 9;
constexpr std::array<std::string_view, kFieldCount> kFieldNames = {
    "id", "command", "thumbprint", "data", "hash", "data_list", "hashes", "digest_algorithm", "pin",
};

std::optional<Field> field_named(std::string_view key) {
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (kFieldNames[i] == key)
            return static_cast<Field>(i);
    }
    return std::nullopt;
}

// What a SAX event is, as far as typing goes.
enum class Kind : std::uint8_t { Null, Boolean, Number, String, Object, Array };

// Reads one Request. State is a handful of counters and flags whatever the
// nesting: values of unknown keys are skipped by counting depth only.
class RequestReader : public json_reader::ReaderBase {
  public:
    using ReaderBase::ReaderBase;

    bool null() { return value(Kind::Null, "null", nullptr, consumed_); }
    bool boolean(bool v) {
        return value(Kind::Boolean, std::string(json_reader::found_boolean(v)), nullptr, consumed_);
    }
    bool number_integer(Json::number_integer_t v) {
        return skipping() ||
               value(Kind::Number, json_reader::found_integer(v), nullptr, number_end());
    }
    bool number_unsigned(Json::number_unsigned_t v) {
        return skipping() ||
               value(Kind::Number, json_reader::found_unsigned(v), nullptr, number_end());
    }
    bool number_float(Json::number_float_t v, const Json::string_t&) {
        return skipping() ||
               value(Kind::Number, json_reader::found_float(v), nullptr, number_end());
    }
    bool string(Json::string_t& v) { return skipping() || value(Kind::String, {}, &v, consumed_); }
    bool start_object(std::size_t) { return value(Kind::Object, "map", nullptr, consumed_); }
    bool start_array(std::size_t) { return value(Kind::Array, "sequence", nullptr, consumed_); }
    bool key(Json::string_t& name);
    bool end_object() { return end(); }
    bool end_array() { return end(); }

    Request take() { return std::move(request_); }

  private:
    bool skipping() const { return skip_from_ > 0; }
    bool value(Kind kind, std::string found, std::string* text, std::size_t end_offset);
    bool fill(Field field, Kind kind, const std::string& found, std::string* text,
              std::size_t end_offset);
    InputText input(const std::string& text) const;
    bool end();
    bool type_error(Kind kind, const std::string& found, std::string* text,
                    std::string_view expected, std::size_t end_offset) {
        std::string what = kind == Kind::String ? json_reader::found_string(*text) : found;
        return fail("invalid type: " + what + ", expected " + std::string(expected), end_offset);
    }

    enum class Top : std::uint8_t { None, Object, Array };
    Top top_ = Top::None;
    std::size_t depth_ = 0;          // containers open
    std::size_t skip_from_ = 0;      // while skipping: the depth of the skipped container
    std::optional<Field> pending_;   // object form: the field named by the last key
    std::optional<Field> list_;      // inside data_list or hashes
    std::size_t elements_ = 0;       // array form: elements seen at the top
    std::bitset<kFieldCount> seen_;  // object form: keys met, for duplicates
    bool have_id_ = false;
    bool have_command_ = false;
    Request request_;
};

bool RequestReader::value(Kind kind, std::string found, std::string* text, std::size_t end_offset) {
    bool container = kind == Kind::Object || kind == Kind::Array;
    if (skipping()) {
        if (container)
            ++depth_;
        return true;
    }
    if (list_) {
        if (kind == Kind::String) {
            auto& list = *list_ == Field::DataList ? request_.data_list : request_.hashes;
            list->push_back(input(*text));
            return true;
        }
        return type_error(kind, found, text, "a string", end_offset);
    }
    if (depth_ == 0) {
        if (!container)
            return type_error(kind, found, text, "struct Request", end_offset);
        top_ = kind == Kind::Object ? Top::Object : Top::Array;
        depth_ = 1;
        return true;
    }
    std::optional<Field> field;
    if (top_ == Top::Array) {
        if (elements_ < kFieldCount)
            field = static_cast<Field>(elements_);
        ++elements_;
    } else {
        field = std::exchange(pending_, std::nullopt);
    }
    if (!field) {
        if (container) {
            ++depth_;
            skip_from_ = depth_;
        }
        return true;
    }
    return fill(*field, kind, found, text, end_offset);
}

// The string just read ends right before the closing quote at value_end().
// When the message holds exactly its bytes there (it had no escapes), borrow
// them; the parser's own buffer is then reused for the next string instead of
// being handed over, so a batch costs no second copy of the message.
InputText RequestReader::input(const std::string& text) const {
    const std::size_t end = value_end();
    if (end >= text.size() + 1) {
        std::string_view raw = text_.substr(end - 1 - text.size(), text.size());
        if (raw == text)
            return InputText::borrowed(raw);
    }
    return InputText(text);
}

bool RequestReader::fill(Field field, Kind kind, const std::string& found, std::string* text,
                         std::size_t end_offset) {
    switch (field) {
        case Field::Id:
        case Field::Command:
            if (kind != Kind::String)
                return type_error(kind, found, text, "a string", end_offset);
            if (field == Field::Id) {
                request_.id = std::move(*text);
                have_id_ = true;
            } else {
                request_.command = std::move(*text);
                have_command_ = true;
            }
            return true;
        case Field::Thumbprint:
        case Field::Data:
        case Field::Hash:
        case Field::Pin: {
            if (kind == Kind::Null)
                return true;
            if (kind != Kind::String)
                return type_error(kind, found, text, "a string", end_offset);
            if (field == Field::Pin) {
                // Copy rather than move: a moved-from short string keeps its
                // bytes, and this buffer is the JSON reader's own.
                request_.pin.emplace(std::string_view(*text));
                core::secure_wipe(*text);
            } else if (field == Field::Thumbprint) {
                request_.thumbprint = std::move(*text);
            } else {
                (field == Field::Data ? request_.data : request_.hash) = input(*text);
            }
            return true;
        }
        case Field::DigestAlgorithm: {
            if (kind == Kind::Null)
                return true;
            if (kind != Kind::String) {
                return type_error(kind, found, text, "enum DigestAlgorithm", end_offset);
            }
            auto alg = core::parse_digest_algorithm(*text);
            if (!alg) {
                return fail("unknown variant `" + *text +
                                "`, expected one of `SHA-256`, `SHA-384`, `SHA-512`",
                            end_offset);
            }
            request_.digest_algorithm = *alg;
            return true;
        }
        case Field::DataList:
        case Field::Hashes: {
            if (kind == Kind::Null)
                return true;
            if (kind != Kind::Array) {
                return type_error(kind, found, text, "a sequence", end_offset);
            }
            auto& list = field == Field::DataList ? request_.data_list : request_.hashes;
            list.emplace();
            list_ = field;
            ++depth_;
            return true;
        }
    }
    return true;
}

bool RequestReader::key(Json::string_t& name) {
    if (skipping())
        return true;
    auto field = field_named(name);
    if (field) {
        auto bit = static_cast<std::size_t>(*field);
        if (seen_.test(bit))
            return fail("duplicate field `" + name + "`", consumed_);
        seen_.set(bit);
    }
    pending_ = field;
    return true;
}

bool RequestReader::end() {
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
    if (top_ == Top::Array) {
        if (elements_ != kFieldCount) {
            return fail("invalid length " + std::to_string(elements_) +
                            ", expected struct Request with 9 elements",
                        consumed_);
        }
    } else {
        if (!have_id_)
            return fail("missing field `id`", consumed_);
        if (!have_command_)
            return fail("missing field `command`", consumed_);
    }
    mark_complete();
    return true;
}

// The second, generic reading: only the top-level "id" matters, so only the
// depth is tracked.
class IdReader : public json_reader::ReaderBase {
  public:
    using ReaderBase::ReaderBase;

    bool null() { return scalar(nullptr); }
    bool boolean(bool) { return scalar(nullptr); }
    bool number_integer(Json::number_integer_t) { return scalar(nullptr); }
    bool number_unsigned(Json::number_unsigned_t) { return scalar(nullptr); }
    bool number_float(Json::number_float_t, const Json::string_t&) { return scalar(nullptr); }
    bool string(Json::string_t& v) { return scalar(&v); }
    bool start_object(std::size_t) {
        open();
        ++depth_;
        return true;
    }
    bool start_array(std::size_t) {
        if (depth_ == 0)
            return false;  // not an object: no id to find
        open();
        ++depth_;
        return true;
    }
    bool key(Json::string_t& name) {
        if (depth_ == 1)
            id_value_next_ = name == "id";
        return true;
    }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    std::optional<std::string> take() { return std::move(id_); }

  private:
    bool scalar(std::string* text) {
        if (depth_ == 0)
            return false;
        if (std::exchange(id_value_next_, false)) {
            // The last occurrence counts, whatever it holds.
            id_ = text ? std::optional<std::string>(std::move(*text)) : std::nullopt;
        }
        return true;
    }
    void open() {
        if (std::exchange(id_value_next_, false))
            id_.reset();
    }
    bool close() {
        if (--depth_ == 0)
            mark_complete();
        return true;
    }

    std::size_t depth_ = 0;
    bool id_value_next_ = false;
    std::optional<std::string> id_;
};

}  // namespace

std::expected<Request, std::string> parse_request(std::string_view message) {
    RequestReader reader(message);
    if (!json_reader::parse(message, reader))
        return std::unexpected(*reader.error());
    return reader.take();
}

std::optional<std::string> find_request_id(std::string_view message) {
    IdReader reader(message);
    if (!json_reader::parse(message, reader))
        return std::nullopt;
    return reader.take();
}

}  // namespace tolvex::agent
