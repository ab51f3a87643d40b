#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tolvex/core/digest.hpp"
#include "tolvex/core/error.hpp"
#include "tolvex/core/key_storage.hpp"
#include "tolvex/core/types.hpp"

namespace tolvex::core {

enum class SourceKind : std::uint8_t { Os = 0, Pkcs11 = 1 };

// One certificate as a source holds it; owns its bytes and texts.
struct SourceCertificate {
    Bytes der;
    std::string location;                 // store name ("MY") or token label
    std::optional<std::string> provider;  // key's cryptographic provider, if known
    SourceKind source = SourceKind::Os;
    bool requires_pin = false;
    KeyStorage key_storage = KeyStorage::Unknown;
};

// A store, module or token that could not be read during a listing.
struct SourceWarning {
    std::string origin;
    std::string message;

    friend bool operator==(const SourceWarning&, const SourceWarning&) = default;
};

struct SourceListing {
    std::vector<SourceCertificate> certificates;
    std::vector<SourceWarning> warnings;
};

// A place certificates and their keys come from (the OS store, PKCS#11
// modules). Listing never fails as a whole: partial failures are warnings.
class CertificateSource {
  public:
    virtual ~CertificateSource() = default;

    virtual SourceKind source_kind() const = 0;
    virtual SourceListing list_certificates() const = 0;
    // Signs one digest. Sources implement it; the handler always goes through
    // sign_batch.
    virtual Result<Bytes> sign_one(std::span<const std::uint8_t> der,
                                   std::span<const std::uint8_t> digest, DigestAlgorithm alg,
                                   PinView pin) const = 0;
    // Exactly one signature per digest, in order, or the first error.
    virtual Result<std::vector<Bytes>> sign_batch(std::span<const std::uint8_t> der,
                                                  std::span<const Bytes> digests,
                                                  DigestAlgorithm alg, PinView pin) const = 0;
};

struct TokenRecord {
    std::string module;  // module display text
    std::uint64_t slot_id = 0;
    std::string label;
    std::string manufacturer;
    std::string model;
    std::string serial_number;

    friend bool operator==(const TokenRecord&, const TokenRecord&) = default;
};

struct TokenListing {
    std::vector<TokenRecord> tokens;
    std::vector<SourceWarning> warnings;  // origin = module display text
};

class TokenLister {
  public:
    virtual ~TokenLister() = default;
    virtual TokenListing list_tokens() const = 0;
};

}  // namespace tolvex::core
