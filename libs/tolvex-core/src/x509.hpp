#pragma once

// OpenSSL-facing helpers shared by the summary, the key algorithm check and
// the public key.

#include <climits>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

#include <openssl/err.h>
#include <openssl/x509.h>

#include "tolvex/core/cert.hpp"

namespace tolvex::core::x509 {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// Clears OpenSSL's per-thread error queue when it goes out of scope, so no
// stale entry leaks into the next parse or into another library's checks.
struct ErrorQueueGuard {
    ErrorQueueGuard() { ERR_clear_error(); }
    ~ErrorQueueGuard() { ERR_clear_error(); }
    ErrorQueueGuard(const ErrorQueueGuard&) = delete;
    ErrorQueueGuard& operator=(const ErrorQueueGuard&) = delete;
};

struct Parsed {
    X509Ptr cert;
    // Serial INTEGER content and the issuer and subject Name elements, as
    // stored in the caller's bytes (empty when they could not be located,
    // which only BER length forms cause).
    std::span<const std::uint8_t> serial;
    std::span<const std::uint8_t> issuer;
    std::span<const std::uint8_t> subject;
};

// d2i of one certificate. OpenSSL refuses some names that the summary can
// still render (VisibleString and other string tags it does not allow, BMP
// surrogate pairs, invalid UTF-8); when it refuses the certificate, the
// certificate is parsed once more with both names blanked, and the names are
// then read from the caller's bytes. The failure is X509_INVALID_PREFIX +
// OpenSSL's reason for the first (innermost) error of the first attempt.
std::expected<Parsed, std::string> parse(std::span<const std::uint8_t> der);

// The key algorithm of a parsed certificate, as core::key_algorithm gives it
// for its DER; for callers that parse the certificate for more than that.
Result<KeyAlgorithm> key_algorithm(const Parsed& parsed);

}  // namespace tolvex::core::x509
