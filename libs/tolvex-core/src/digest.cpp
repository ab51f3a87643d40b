#include <array>

#include <openssl/evp.h>

#include "tolvex/core/digest.hpp"

namespace tolvex::core {
namespace {

// DER of DigestInfo up to and including the OCTET STRING header: the
// algorithm identifier carries explicit NULL parameters, as RSA PKCS#1 v1.5
// verifiers expect byte for byte.
constexpr std::array<std::uint8_t, 19> SHA256_PREFIX = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                        0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                        0x01, 0x05, 0x00, 0x04, 0x20};
constexpr std::array<std::uint8_t, 19> SHA384_PREFIX = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                        0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                        0x02, 0x05, 0x00, 0x04, 0x30};
constexpr std::array<std::uint8_t, 19> SHA512_PREFIX = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                        0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                        0x03, 0x05, 0x00, 0x04, 0x40};

const std::array<std::uint8_t, 19>& prefix_of(DigestAlgorithm alg) {
    switch (alg) {
        case DigestAlgorithm::Sha256:
            return SHA256_PREFIX;
        case DigestAlgorithm::Sha384:
            return SHA384_PREFIX;
        case DigestAlgorithm::Sha512:
            return SHA512_PREFIX;
    }
    return SHA256_PREFIX;
}

const EVP_MD* md_of(DigestAlgorithm alg) {
    switch (alg) {
        case DigestAlgorithm::Sha256:
            return EVP_sha256();
        case DigestAlgorithm::Sha384:
            return EVP_sha384();
        case DigestAlgorithm::Sha512:
            return EVP_sha512();
    }
    return EVP_sha256();
}

}  // namespace

std::string_view digest_algorithm_text(DigestAlgorithm alg) {
    switch (alg) {
        case DigestAlgorithm::Sha256:
            return "SHA-256";
        case DigestAlgorithm::Sha384:
            return "SHA-384";
        case DigestAlgorithm::Sha512:
            return "SHA-512";
    }
    return "SHA-256";
}

std::optional<DigestAlgorithm> parse_digest_algorithm(std::string_view text) {
    if (text == "SHA-256")
        return DigestAlgorithm::Sha256;
    if (text == "SHA-384")
        return DigestAlgorithm::Sha384;
    if (text == "SHA-512")
        return DigestAlgorithm::Sha512;
    return std::nullopt;
}

Bytes compute_digest(std::span<const std::uint8_t> data, DigestAlgorithm alg) {
    Bytes out(digest_length(alg));
    unsigned int len = 0;
    // EVP_Digest with the built-in SHA-2 cannot fail short of memory
    // exhaustion; a zero-length result would then fail the length check.
    if (EVP_Digest(data.data(), data.size(), out.data(), &len, md_of(alg), nullptr) != 1) {
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
    const auto& prefix = prefix_of(alg);
    Bytes out;
    out.reserve(prefix.size() + digest.size());
    out.insert(out.end(), prefix.begin(), prefix.end());
    out.insert(out.end(), digest.begin(), digest.end());
    return out;
}

}  // namespace tolvex::core
