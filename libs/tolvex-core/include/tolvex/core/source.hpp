#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "tolvex/core/digest.hpp"
#include "tolvex/core/error.hpp"
#include "tolvex/core/key_storage.hpp"
#include "tolvex/core/types.hpp"

namespace tolvex::core {

enum class SourceKind : std::uint8_t { Os = 0, Pkcs11 = 1 };

// Where the store's listing met a certificate: its place in the walk.
struct StoreLocator {
    std::size_t position = 0;
};

// Where a PKCS#11 listing met a certificate: the module's place in the
// source's list, the slot, the token's identity as it read then (so that a
// token put in the slot since is not taken for it) and the certificate
// object's CKA_ID, which pairs it with its key.
struct TokenLocator {
    std::size_t module = 0;
    std::uint64_t slot = 0;
    std::string token;
    std::optional<Bytes> id;
};

// How the source that listed a certificate finds it again; no other source
// reads it.
using Locator = std::variant<std::monostate, StoreLocator, TokenLocator>;

// One certificate as a source holds it; owns its bytes and texts.
struct SourceCertificate {
    Bytes der;
    std::string location;                 // store name ("MY") or token label
    std::optional<std::string> provider;  // key's cryptographic provider, if known
    SourceKind source = SourceKind::Os;
    bool requires_pin = false;
    KeyStorage key_storage = KeyStorage::Unknown;
    Locator locator;
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

// What one request does with a source, from the command that opens it to
// its answer. Whatever the source loads or locks for the request (PKCS#11
// modules and their lock) is held by this object and given back when it
// goes. Listing never fails as a whole: partial failures are warnings.
class SourceSession {
  public:
    virtual ~SourceSession() = default;

    virtual SourceListing list_certificates() = 0;
    // The tokens behind the source; none for a source without tokens.
    virtual TokenListing list_tokens() { return {}; }
    // Exactly one signature per digest, in order, or the first error, with
    // the key of a certificate this session listed: its locator says where
    // it is, without another search.
    virtual Result<std::vector<Bytes>> sign(const SourceCertificate& certificate,
                                            std::span<const Bytes> digests, DigestAlgorithm alg,
                                            PinView pin) = 0;
};

// A place certificates and their keys come from (the OS store, PKCS#11
// modules), as configured at start-up. Holds no handle: each request opens
// its own session.
class CertificateSource {
  public:
    virtual ~CertificateSource() = default;

    virtual SourceKind source_kind() const = 0;
    virtual std::unique_ptr<SourceSession> open() const = 0;
};

}  // namespace tolvex::core
