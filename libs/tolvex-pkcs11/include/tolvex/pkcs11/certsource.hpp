#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "tolvex/core/source.hpp"

namespace tolvex::pkcs11 {

class ModuleSet;

// While one lives on a thread, the PKCS#11 sources used on that thread take
// their modules from its ModuleSet, so one request loads each module once.
// Without one, each listing or signing loads and releases its own modules.
// Scopes do not nest: an inner one leaves the outer one in charge.
class RequestScope {
  public:
    RequestScope();
    ~RequestScope();
    RequestScope(const RequestScope&) = delete;
    RequestScope& operator=(const RequestScope&) = delete;

    // The set of the scope under way on this thread, or nullptr.
    static ModuleSet* current();

  private:
    std::unique_ptr<ModuleSet> owned_;
};

// The certificate source over PKCS#11 modules. Construction only stores the
// module path list; the modules are loaded when an operation needs them and
// released at the end of the request (or of the operation, outside one).
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
