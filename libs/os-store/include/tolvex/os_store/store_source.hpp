#pragma once

#include "tolvex/core/source.hpp"

namespace tolvex::os_store {

// The certificate source over the current user's personal store ("MY").
// Holds no data: every operation opens the store, walks it and closes it.
class WindowsStoreSource final : public core::CertificateSource {
public:
    WindowsStoreSource() = default;

    core::SourceKind source_kind() const override { return core::SourceKind::Os; }
    core::SourceListing list_certificates() const override;
    core::Result<core::Bytes> sign_one(std::span<const std::uint8_t> der,
                                       std::span<const std::uint8_t> digest,
                                       core::DigestAlgorithm alg,
                                       core::PinView pin) const override;
    core::Result<std::vector<core::Bytes>> sign_batch(std::span<const std::uint8_t> der,
                                                      std::span<const core::Bytes> digests,
                                                      core::DigestAlgorithm alg,
                                                      core::PinView pin) const override;
};

}  // namespace tolvex::os_store
