#pragma once

// A small reader of DER tag-length-value elements, for the few places where
// the summary needs bytes exactly as the certificate stores them (name
// attributes, the serial's INTEGER, otherName values) and OpenSSL's decoded
// objects have normalised them away.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tolvex::core::der {

using Span = std::span<const std::uint8_t>;

struct Element {
    // First identifier byte. High tag numbers (low bits 11111) keep 0x1F
    // in the low bits, so they never compare equal to a universal tag.
    std::uint8_t tag = 0;
    Span content;  // without tag and length
    Span whole;    // tag, length and content
};

// Reads consecutive elements from a buffer. Only definite lengths are
// accepted; a length that runs past the buffer is a failure.
class Reader {
  public:
    explicit Reader(Span data) : data_(data) {}

    bool empty() const { return data_.empty(); }
    Span rest() const { return data_; }

    // The next element, or nullopt when the bytes are not a well-formed
    // element (the reader is then left where it was).
    std::optional<Element> next();

  private:
    Span data_;
};

// Dotted decimal text of an OBJECT IDENTIFIER's content bytes ("2.5.4.3"),
// arcs of any size; nullopt for an empty, truncated or padded encoding.
std::optional<std::string> oid_text(Span content);

// Reads exactly one element filling the whole buffer.
std::optional<Element> read_single(Span data);

}  // namespace tolvex::core::der
