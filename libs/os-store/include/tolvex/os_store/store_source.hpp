#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "tolvex/core/error.hpp"
#include "tolvex/core/source.hpp"
#include "tolvex/os_store/store_api.hpp"

namespace tolvex::os_store {

inline constexpr std::string_view PERSONAL_STORE_NAME = "MY";
// Longest provider name read from the key-provider property, in UTF-16 units.
inline constexpr std::size_t MAX_PROVIDER_NAME_UNITS = 512;

// A platform status code as the agent reports it: the cancellation and
// smart-card PIN codes become their own kinds, anything else SignFailed with
// "erro do Windows 0x" and the code in 8 upper-case hex digits.
core::AgentError windows_error_kind(Dword code);

// The certificate source over the current user's personal store ("MY").
// Holds no data: every operation opens the store, walks it and closes it.
class WindowsStoreSource final : public core::CertificateSource {
  public:
    // The real platform (platform_store_api()) in the product; tests pass
    // fakes and the emulated store.
    explicit WindowsStoreSource(std::shared_ptr<StoreApi> api);

    core::SourceKind source_kind() const override { return core::SourceKind::Os; }
    core::SourceListing list_certificates() const override;
    core::Result<core::Bytes> sign_one(std::span<const std::uint8_t> der,
                                       std::span<const std::uint8_t> digest,
                                       core::DigestAlgorithm alg, core::PinView pin) const override;
    core::Result<std::vector<core::Bytes>> sign_batch(std::span<const std::uint8_t> der,
                                                      std::span<const core::Bytes> digests,
                                                      core::DigestAlgorithm alg,
                                                      core::PinView pin) const override;

    // One signature with the key the store associates with `der`.
    core::Result<core::Bytes> sign_with_store_key(std::span<const std::uint8_t> der,
                                                  std::span<const std::uint8_t> digest,
                                                  core::DigestAlgorithm alg,
                                                  core::PinView pin) const;

  private:
    std::shared_ptr<StoreApi> api_;
};

}  // namespace tolvex::os_store
