#include "request.hpp"

#include <utility>

#include "json_reader.hpp"

namespace tolvex::agent {

namespace {

using json_reader::Field;
using json_reader::Json;
using json_reader::Presence;
using json_reader::Shape;
using json_reader::StringValue;
using Stored = std::optional<std::string>;

// A sign input borrows the message's bytes when they hold exactly its text
// (no escapes). The parser's own buffer is then reused for the next string
// instead of being handed over, so a batch costs no second copy of the
// message.
InputText input(StringValue value) {
    if (auto raw = value.in_message())
        return InputText::borrowed(*raw);
    return InputText(value.text);
}

// Where a value goes. A plain string takes the parser's buffer; a sign
// input borrows or copies it (see input).
template <auto Member>
Stored text_into(Request& r, StringValue v) {
    r.*Member = std::move(v.text);
    return std::nullopt;
}
template <auto Member>
Stored input_into(Request& r, StringValue v) {
    r.*Member = input(v);
    return std::nullopt;
}
template <auto Member>
Stored item_into(Request& r, StringValue v) {
    (r.*Member)->push_back(input(v));
    return std::nullopt;
}
template <auto Member>
void open_list(Request& r) {
    (r.*Member).emplace();
}

// Declaration order: also the order of the nine-element array form.
constexpr Field<Request> kFields[] = {
    {{"id", Shape::String, Presence::Required, "a string"}, &text_into<&Request::id>},
    {{"command", Shape::String, Presence::Required, "a string"}, &text_into<&Request::command>},
    {{"thumbprint", Shape::String, Presence::Optional, "a string"},
     &text_into<&Request::thumbprint>},
    {{"data", Shape::String, Presence::Optional, "a string"}, &input_into<&Request::data>},
    {{"hash", Shape::String, Presence::Optional, "a string"}, &input_into<&Request::hash>},
    {{"data_list", Shape::StringList, Presence::Optional, "a string"},
     &item_into<&Request::data_list>,
     &open_list<&Request::data_list>},
    {{"hashes", Shape::StringList, Presence::Optional, "a string"},
     &item_into<&Request::hashes>,
     &open_list<&Request::hashes>},
    {{"digest_algorithm", Shape::String, Presence::Optional, "enum DigestAlgorithm"},
     [](Request& r, StringValue v) -> Stored {
         auto alg = core::parse_digest_algorithm(v.text);
         if (!alg)
             return "unknown variant `" + v.text +
                    "`, expected one of `SHA-256`, `SHA-384`, `SHA-512`";
         r.digest_algorithm = *alg;
         return std::nullopt;
     }},
    {{"pin", Shape::String, Presence::Optional, "a string"},
     [](Request& r, StringValue v) -> Stored {
         // Copy rather than move: a moved-from short string keeps its bytes,
         // and this buffer is the JSON reader's own.
         r.pin.emplace(std::string_view(v.text));
         core::secure_wipe(v.text);
         return std::nullopt;
     }},
};
constexpr json_reader::Schema<Request> kSchema{"Request", kFields, /*short_arrays=*/false};

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

std::expected<MessageRequest, std::string> parse_request(std::string_view message) {
    auto request = json_reader::read_record(message, kSchema);
    if (!request)
        return std::unexpected(std::move(request.error()));
    return std::expected<MessageRequest, std::string>(std::in_place, std::move(*request));
}

std::optional<std::string> find_request_id(std::string_view message) {
    IdReader reader(message);
    if (!json_reader::parse(message, reader))
        return std::nullopt;
    return reader.take();
}

}  // namespace tolvex::agent
