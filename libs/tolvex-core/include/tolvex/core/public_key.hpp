#pragma once

// A certificate's public key: its parts as PKCS#11 tokens describe a key, and
// the check of signatures made with the matching private key.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "tolvex/core/cert.hpp"
#include "tolvex/core/types.hpp"

namespace tolvex::core {

struct CertificatePublicKey {
    KeyAlgorithm algorithm = KeyAlgorithm::Rsa;
    // RSA, big-endian without leading zero bytes.
    Bytes modulus;
    Bytes public_exponent;
    // EC: the DER of the key's parameters (a named curve's OID), and the
    // point as the certificate carries it (04 || X || Y when uncompressed).
    Bytes ec_params;
    Bytes ec_point;
};

// The public key of an RSA or EC certificate; errors as key_algorithm's.
Result<CertificatePublicKey> certificate_public_key(std::span<const std::uint8_t> der);

// Checks each signature against the digest at the same position with the
// certificate's public key: PKCS#1 v1.5 over the DigestInfo for RSA, the
// fixed-length r || s for ECDSA, as the sources return them. The position
// of the first signature that does not verify (a missing or surplus one
// included), or nullopt when all do; a certificate whose key cannot be used
// fails at 0.
std::optional<std::size_t> first_invalid_signature(std::span<const std::uint8_t> der,
                                                   DigestAlgorithm alg,
                                                   std::span<const Bytes> digests,
                                                   std::span<const Bytes> signatures);

}  // namespace tolvex::core
