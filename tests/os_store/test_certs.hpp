#pragma once

// Throw-away keys and self-signed certificates for the store tests.

#include <cstdint>
#include <string>
#include <vector>

namespace tolvex::testing {

struct TestCertificate {
    std::vector<std::uint8_t> der;  // the certificate
    std::string key_pem;            // its private key, PKCS#8 PEM
    std::string cert_pem;
};

enum class TestKeyType { Rsa2048, EcP256 };

TestCertificate make_test_certificate(const std::string& common_name,
                                      TestKeyType type = TestKeyType::Rsa2048);

// Verifies a PKCS#1 v1.5 (RSA) or r || s (ECDSA) signature over a digest
// with the certificate's public key. `digest_name` is "SHA256", "SHA384" or
// "SHA512".
bool verify_digest_signature(const std::vector<std::uint8_t>& cert_der,
                             const std::string& digest_name,
                             const std::vector<std::uint8_t>& digest,
                             const std::vector<std::uint8_t>& signature);

std::vector<std::uint8_t> sha_digest(const std::string& digest_name, const std::string& data);

}  // namespace tolvex::testing
