#pragma once

#include <concepts>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tolvex/core/digest.hpp"
#include "tolvex/core/types.hpp"

namespace tolvex::agent {

// A Base64 input of sign (data, hash, an item of data_list or hashes). These
// can fill nearly the whole 1 MiB frame, so a value read from a message
// borrows the message's own bytes instead of copying them; only a
// MessageRequest (below) holds such values, and it cannot leave the scope of
// its message. A value written with JSON escapes (whose text differs from its
// bytes in the message) or made by a caller owns its text, and so does every
// copy: only a move carries a borrow along.
class InputText {
  public:
    InputText() = default;
    InputText(std::string text) : owned_(std::move(text)) {}
    InputText(const char* text) : owned_(text) {}
    static InputText borrowed(std::string_view text) {
        InputText out;
        out.borrowed_ = text;
        out.borrows_ = true;
        return out;
    }
    InputText(const InputText& other) : owned_(other.view()) {}
    InputText& operator=(const InputText& other) {
        if (this != &other)
            *this = InputText(other);
        return *this;
    }
    InputText(InputText&&) noexcept = default;
    InputText& operator=(InputText&&) noexcept = default;

    std::string_view view() const { return borrows_ ? borrowed_ : std::string_view(owned_); }
    bool borrows() const { return borrows_; }

    friend bool operator==(const InputText& a, const InputText& b) { return a.view() == b.view(); }
    friend bool operator==(const InputText& a, std::string_view b) { return a.view() == b; }
    friend bool operator==(const InputText& a, const char* b) { return a.view() == b; }

  private:
    std::string owned_;
    std::string_view borrowed_;
    bool borrows_ = false;
};

// The record read from every message. Optional fields: absent key == null.
struct Request {
    std::string id;
    std::string command;
    std::optional<std::string> thumbprint;
    std::optional<InputText> data;
    std::optional<InputText> hash;
    std::optional<std::vector<InputText>> data_list;
    std::optional<std::vector<InputText>> hashes;
    std::optional<core::DigestAlgorithm> digest_algorithm;
    std::optional<core::SecretString> pin;  // wiped when the request is done

    core::PinView pin_view() const {
        return pin ? core::PinView(pin->view()) : core::PinView(std::nullopt);
    }
};

// A Request read from a message: its sign inputs may borrow the message's
// bytes, so it stays in the scope that holds the message. It can be neither
// copied nor moved (a sliced copy into a Request owns its inputs); commands
// are lent it as a const Request&.
class MessageRequest : public Request {
  public:
    explicit MessageRequest(Request&& request) : Request(std::move(request)) {}
    MessageRequest(const MessageRequest&) = delete;
    MessageRequest& operator=(const MessageRequest&) = delete;
};

// Reads a Request strictly. The error is the reading-error description with
// its " at line L column C" suffix.
std::expected<MessageRequest, std::string> parse_request(std::string_view message);
// A temporary string would be gone before the request that borrows it.
template <class Text>
requires std::same_as<Text, std::string> std::expected<MessageRequest, std::string> parse_request(
    Text&& message)
= delete;

// Second reading of an unreadable message: the string value of a top-level
// "id" key (last occurrence wins) of a well-formed JSON object, else nothing.
std::optional<std::string> find_request_id(std::string_view message);

}  // namespace tolvex::agent
