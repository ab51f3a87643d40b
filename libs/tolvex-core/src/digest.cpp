#include <algorithm>
#include <array>

#include <openssl/evp.h>

#include "tolvex/core/digest.hpp"

namespace tolvex::core {
namespace {

struct Algorithm {
    std::string_view name;
    const EVP_MD* (*md)();
    // DER of DigestInfo up to and including the OCTET STRING header: the
    // algorithm identifier carries explicit NULL parameters, as RSA PKCS#1
    // v1.5 verifiers expect byte for byte.
    std::array<std::uint8_t, 19> digest_info_prefix;
};

// In the order of DigestAlgorithm.
const std::array<Algorithm, 3> ALGORITHMS = {{
    {"SHA-256",
     EVP_sha256,
     {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01,
      0x05, 0x00, 0x04, 0x20}},
    {"SHA-384",
     EVP_sha384,
     {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02,
      0x05, 0x00, 0x04, 0x30}},
    {"SHA-512",
     EVP_sha512,
     {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03,
      0x05, 0x00, 0x04, 0x40}},
}};

// An out-of-range value, which no parse yields, is taken as SHA-256.
const Algorithm& algorithm(DigestAlgorithm alg) {
    const auto i = static_cast<std::size_t>(alg);
    return ALGORITHMS[i < ALGORITHMS.size() ? i : 0];
}

}  // namespace

std::string_view digest_algorithm_text(DigestAlgorithm alg) {
    return algorithm(alg).name;
}

std::optional<DigestAlgorithm> parse_digest_algorithm(std::string_view text) {
    for (std::size_t i = 0; i < ALGORITHMS.size(); ++i) {
        if (text == ALGORITHMS[i].name)
            return static_cast<DigestAlgorithm>(i);
    }
    return std::nullopt;
}

Bytes compute_digest(std::span<const std::uint8_t> data, DigestAlgorithm alg) {
    Bytes out(digest_length(alg));
    unsigned int len = 0;
    // EVP_Digest with the built-in SHA-2 cannot fail short of memory
    // exhaustion; a zero-length result would then fail the length check.
    if (EVP_Digest(data.data(), data.size(), out.data(), &len, algorithm(alg).md(), nullptr) != 1) {
        len = 0;
    }
    out.resize(len);
    return out;
}

Result<void> check_digest_lengths(std::span<const Bytes> digests, DigestAlgorithm alg) {
    auto mismatch = std::unexpected(AgentError::sign_failed(std::string(HASH_LENGTH_MISMATCH)));
    if (digests.empty())
        return mismatch;
    for (const Bytes& d : digests) {
        if (d.size() != digest_length(alg))
            return mismatch;
    }
    return {};
}

Bytes digest_info(DigestAlgorithm alg, std::span<const std::uint8_t> digest) {
    const auto& prefix = algorithm(alg).digest_info_prefix;
    Bytes out(prefix.size() + digest.size());
    std::copy(digest.begin(), digest.end(), std::copy(prefix.begin(), prefix.end(), out.begin()));
    return out;
}

}  // namespace tolvex::core
