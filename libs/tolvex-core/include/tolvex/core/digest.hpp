#pragma once

// The digest algorithms a signature is made over (SHA-256, SHA-384,
// SHA-512): their names on the wire, digests of data, the length check of a
// given digest and the DigestInfo an RSA PKCS#1 v1.5 signature wraps it in.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "tolvex/core/error.hpp"
#include "tolvex/core/types.hpp"

namespace tolvex::core {

enum class DigestAlgorithm : std::uint8_t { Sha256 = 0, Sha384 = 1, Sha512 = 2 };
std::string_view digest_algorithm_text(DigestAlgorithm alg);  // "SHA-256", ...
std::optional<DigestAlgorithm> parse_digest_algorithm(std::string_view text);
constexpr std::size_t digest_length(DigestAlgorithm alg) {
    return 32 + 16 * static_cast<std::size_t>(alg);
}

inline constexpr std::string_view HASH_LENGTH_MISMATCH =
    "tamanho do hash não corresponde ao algoritmo";

Bytes compute_digest(std::span<const std::uint8_t> data, DigestAlgorithm alg);
// SignFailed(HASH_LENGTH_MISMATCH) unless there is at least one digest and
// every one has the algorithm's length.
Result<void> check_digest_lengths(std::span<const Bytes> digests, DigestAlgorithm alg);
Bytes digest_info(DigestAlgorithm alg, std::span<const std::uint8_t> digest);

}  // namespace tolvex::core
