#include "tolvex/core/types.hpp"

#include <openssl/crypto.h>

namespace tolvex::core {

std::string_view key_storage_text(KeyStorage storage) {
    switch (storage) {
        case KeyStorage::Token:
            return "token";
        case KeyStorage::File:
            return "file";
        case KeyStorage::Cloud:
            return "cloud";
        case KeyStorage::Unknown:
            return "unknown";
    }
    return "unknown";
}

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

void secure_wipe(void* data, std::size_t size) {
    if (data != nullptr && size != 0)
        OPENSSL_cleanse(data, size);
}

}  // namespace tolvex::core
