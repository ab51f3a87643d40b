#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace tolvex::core {

// The closed set of failures that certificate sources and commands raise. The
// order is part of the protocol's model; do not reorder.
enum class ErrorKind : std::uint8_t {
    CertificateNotFound,
    KeyNotFound,
    PinRequired,
    PinIncorrect,
    PinIncorrectCountLow,
    PinIncorrectFinalTry,
    PinLocked,
    UserCancelled,
    Unsupported,  // carries a detail
    SignFailed,   // carries a detail
};

class AgentError {
  public:
    explicit AgentError(ErrorKind kind) : kind_(kind) {}
    AgentError(ErrorKind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

    static AgentError unsupported(std::string detail) {
        return {ErrorKind::Unsupported, std::move(detail)};
    }
    static AgentError sign_failed(std::string detail) {
        return {ErrorKind::SignFailed, std::move(detail)};
    }

    ErrorKind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }

    // Wire code, e.g. "pin_incorrect"; a static text.
    std::string_view code() const;
    // The Portuguese message shown to the user; for Unsupported and SignFailed
    // the fixed prefix immediately followed by the detail.
    std::string message() const;

    // True for the kinds that end a search across sources at once (PIN and
    // cancellation): retrying them elsewhere would spend the user's PIN tries.
    bool stops_search() const;

    friend bool operator==(const AgentError&, const AgentError&) = default;

  private:
    ErrorKind kind_;
    std::string detail_;
};

template <class T>
using Result = std::expected<T, AgentError>;

// The exception being handled, as the detail of a failure: "erro interno:
// memória insuficiente" for std::bad_alloc, "erro interno: " and what() for
// other standard exceptions, "erro interno" for anything else. Call it only
// inside a catch block.
std::string current_exception_text();

}  // namespace tolvex::core
