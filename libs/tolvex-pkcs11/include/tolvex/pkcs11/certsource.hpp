#pragma once

#include <filesystem>
#include <vector>

#include "tolvex/core/source.hpp"

namespace tolvex::pkcs11 {

// The certificate source over PKCS#11 modules. Construction only stores the
// module path list; every operation loads, uses and releases the modules.
class Pkcs11Source final : public core::CertificateSource, public core::TokenLister {
  public:
    explicit Pkcs11Source(std::vector<std::filesystem::path> module_paths);

    core::SourceKind source_kind() const override { return core::SourceKind::Pkcs11; }
    core::SourceListing list_certificates() const override;
    core::Result<core::Bytes> sign_one(std::span<const std::uint8_t> der,
                                       std::span<const std::uint8_t> digest,
                                       core::DigestAlgorithm alg, core::PinView pin) const override;
    core::Result<std::vector<core::Bytes>> sign_batch(std::span<const std::uint8_t> der,
                                                      std::span<const core::Bytes> digests,
                                                      core::DigestAlgorithm alg,
                                                      core::PinView pin) const override;
    core::TokenListing list_tokens() const override;

    const std::vector<std::filesystem::path>& module_paths() const { return module_paths_; }

  private:
    std::vector<std::filesystem::path> module_paths_;
};

}  // namespace tolvex::pkcs11
