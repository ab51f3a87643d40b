#pragma once

// Real certificates made with OpenSSL at test time, for tests that need a
// parseable certificate rather than exact unusual encodings.

#include <string>
#include <vector>

#include "tolvex/core/digest.hpp"
#include "tolvex/core/types.hpp"

namespace tolvex::testing {

enum class KeyType { Rsa2048, EcP256, Ed25519 };

struct TestCert {
    core::Bytes der;
    std::string key_pem;  // PKCS#8 private key
};

struct CertSpec {
    std::string common_name = "Test";
    KeyType key = KeyType::EcP256;
    bool is_ca = false;
    long serial = 1;
};

TestCert make_cert(const CertSpec& spec);

// Lets sign_with_key_of sign for a certificate made elsewhere, whose private
// key (PEM) the caller holds.
void add_key_of(const core::Bytes& cert_der, std::string key_pem);

// Signs the digest with the private key of a certificate that make_cert made
// (or add_key_of was given) in this process, in the form sources return:
// PKCS#1 v1.5 over the DigestInfo for RSA, r||s for EC. Empty for any other
// certificate.
core::Bytes sign_with_key_of(const core::Bytes& cert_der, const core::Bytes& digest,
                             core::DigestAlgorithm alg);

// Verifies a signature over a digest with the certificate's public key:
// PKCS#1 v1.5 (DigestInfo of the named algorithm) for RSA, raw r||s for EC.
bool verify_digest_signature(const core::Bytes& cert_der, const core::Bytes& digest,
                             core::DigestAlgorithm alg, const core::Bytes& signature);

}  // namespace tolvex::testing
