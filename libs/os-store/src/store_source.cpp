#include "tolvex/os_store/store_source.hpp"

namespace tolvex::os_store {

core::SourceListing WindowsStoreSource::list_certificates() const { return {}; }

core::Result<core::Bytes> WindowsStoreSource::sign_one(std::span<const std::uint8_t>,
                                                       std::span<const std::uint8_t>,
                                                       core::DigestAlgorithm,
                                                       core::PinView) const {
    return std::unexpected(core::AgentError(core::ErrorKind::KeyNotFound));
}

core::Result<std::vector<core::Bytes>> WindowsStoreSource::sign_batch(
    std::span<const std::uint8_t> der, std::span<const core::Bytes> digests,
    core::DigestAlgorithm alg, core::PinView pin) const {
    std::vector<core::Bytes> out;
    for (const auto& d : digests) {
        auto sig = sign_one(der, d, alg, pin);
        if (!sig) return std::unexpected(sig.error());
        out.push_back(std::move(*sig));
    }
    return out;
}

}  // namespace tolvex::os_store
