#pragma once

// Finding the private key of a certificate on a token. CKA_ID pairs them
// when it is there and names one key; otherwise the key is the one whose
// public part is the certificate's public key.

#include <cstdint>
#include <optional>
#include <span>

#include "tolvex/core/error.hpp"
#include "tolvex/core/public_key.hpp"
#include "tolvex/pkcs11/module.hpp"

namespace tolvex::pkcs11 {

// What a key object shows of its public part; absent what it does not show.
struct KeyAttributes {
    std::optional<CK_KEY_TYPE> type;
    std::optional<core::Bytes> modulus;
    std::optional<core::Bytes> public_exponent;
    std::optional<core::Bytes> ec_params;
    std::optional<core::Bytes> ec_point;
};

enum class KeyMatch { Same, Different, Unknown };

// Same or Different when the attributes decide it, Unknown when they do not
// show enough. Integers compare without leading zero bytes; CKA_EC_POINT is
// accepted as the standard's DER OCTET STRING and as the bare point, as
// modules differ on it.
KeyMatch compare_public_key(const KeyAttributes& attributes, const core::CertificatePublicKey& key);

// The certificate's private key in the session. The certificate object's
// CKA_ID decides when exactly one private key carries it. Otherwise (no or
// an empty CKA_ID, none or several keys with it) the candidates are those
// keys, or every private key of the token when none carries it, and the one
// whose public part matches the certificate's is taken: read from the key
// object, else from the public key objects that share the key's CKA_ID.
// When no candidate matches and exactly one could not be told apart, that
// one is taken: its signatures are checked against the certificate anyway.
// KeyNotFound when nothing fits; SignFailed when a search fails.
core::Result<CK_OBJECT_HANDLE> find_private_key(const Session& session,
                                                const std::optional<core::Bytes>& certificate_id,
                                                std::span<const std::uint8_t> certificate_der);

}  // namespace tolvex::pkcs11
