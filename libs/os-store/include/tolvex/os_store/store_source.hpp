#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "tolvex/core/cert.hpp"
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
// Holds no handle: a request's session opens the store for its listing and
// again for each signature.
class WindowsStoreSource final : public core::CertificateSource {
  public:
    // The real platform (platform_store_api()) in the product; tests pass
    // fakes and the emulated store.
    explicit WindowsStoreSource(std::shared_ptr<StoreApi> api);

    core::SourceKind source_kind() const override { return core::SourceKind::Os; }
    std::unique_ptr<core::SourceSession> open() const override;

  private:
    std::shared_ptr<StoreApi> api_;
};

// One signature with the key the store associates with a certificate its
// listing met (the locator's place in the walk), of the given key algorithm.
core::Result<core::Bytes> sign_with_store_key(StoreApi& api,
                                              const core::SourceCertificate& certificate,
                                              core::KeyAlgorithm key_alg,
                                              std::span<const std::uint8_t> digest,
                                              core::DigestAlgorithm alg, core::PinView pin);

}  // namespace tolvex::os_store
