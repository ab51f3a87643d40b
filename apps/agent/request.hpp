#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tolvex/core/types.hpp"

namespace tolvex::agent {

// The record read from every message. Optional fields: absent key == null.
struct Request {
    std::string id;
    std::string command;
    std::optional<std::string> thumbprint;
    std::optional<std::string> data;
    std::optional<std::string> hash;
    std::optional<std::vector<std::string>> data_list;
    std::optional<std::vector<std::string>> hashes;
    std::optional<core::DigestAlgorithm> digest_algorithm;
    std::optional<core::SecretString> pin;  // wiped when the request is done

    core::PinView pin_view() const {
        return pin ? core::PinView(pin->view()) : core::PinView(std::nullopt);
    }
};

// Reads a Request strictly. The error is the reading-error description with
// its " at line L column C" suffix.
std::expected<Request, std::string> parse_request(std::string_view message);

// Second reading of an unreadable message: the string value of a top-level
// "id" key (last occurrence wins) of a well-formed JSON object, else nothing.
std::optional<std::string> find_request_id(std::string_view message);

}  // namespace tolvex::agent
