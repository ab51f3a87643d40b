#include "tolvex/pkcs11/certsource.hpp"

namespace tolvex::pkcs11 {

Pkcs11Source::Pkcs11Source(std::vector<std::filesystem::path> module_paths)
    : module_paths_(std::move(module_paths)) {}

core::SourceListing Pkcs11Source::list_certificates() const { return {}; }

core::Result<core::Bytes> Pkcs11Source::sign_one(std::span<const std::uint8_t> der,
                                                 std::span<const std::uint8_t> digest,
                                                 core::DigestAlgorithm alg,
                                                 core::PinView pin) const {
    core::Bytes one(digest.begin(), digest.end());
    auto sigs = sign_batch(der, std::span<const core::Bytes>(&one, 1), alg, pin);
    if (!sigs) return std::unexpected(sigs.error());
    return std::move(sigs->front());
}

core::Result<std::vector<core::Bytes>> Pkcs11Source::sign_batch(std::span<const std::uint8_t>,
                                                                std::span<const core::Bytes>,
                                                                core::DigestAlgorithm,
                                                                core::PinView) const {
    return std::unexpected(core::AgentError(core::ErrorKind::KeyNotFound));
}

core::TokenListing Pkcs11Source::list_tokens() const { return {}; }

}  // namespace tolvex::pkcs11
