#pragma once

// OpenSSL-facing helpers shared by the summary and the key algorithm check.

#include <climits>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

#include <openssl/err.h>
#include <openssl/x509.h>

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
    std::span<const std::uint8_t> encoding;  // the certificate's own bytes, trailing data excluded
};

// d2i of one certificate; the failure is X509_INVALID_PREFIX + OpenSSL's
// reason for the first (innermost) error it queued.
std::expected<Parsed, std::string> parse(std::span<const std::uint8_t> der);

}  // namespace tolvex::core::x509
