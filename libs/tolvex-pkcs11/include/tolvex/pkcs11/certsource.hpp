#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "tolvex/core/source.hpp"

namespace tolvex::pkcs11 {

// The certificate source over PKCS#11 modules. Construction only stores the
// module path list; each request's session (open()) loads the modules it
// uses, once, and releases them when the request ends.
class Pkcs11Source final : public core::CertificateSource {
  public:
    explicit Pkcs11Source(std::vector<std::filesystem::path> module_paths);

    core::SourceKind source_kind() const override { return core::SourceKind::Pkcs11; }
    // A Pkcs11Session over the module paths.
    std::unique_ptr<core::SourceSession> open() const override;

    const std::vector<std::filesystem::path>& module_paths() const { return module_paths_; }

  private:
    std::vector<std::filesystem::path> module_paths_;
};

}  // namespace tolvex::pkcs11
