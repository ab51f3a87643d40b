#pragma once

// Pieces of the listing and sign commands, exposed for the tests.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "handler.hpp"
#include "tolvex/core/digest.hpp"

namespace tolvex::agent {

inline constexpr std::size_t MAX_BATCH_ITEMS = 500;

// The sources as one command sees them: each opened when the command begins
// and closed when it has its answer (the PKCS#11 modules are loaded once for
// it and the PKCS#11 lock is held until then), each listed at most once.
class RequestSources {
  public:
    explicit RequestSources(const HandlerContext& context);

    std::size_t size() const { return opened_.size(); }
    core::SourceKind kind(std::size_t i) const { return opened_[i].kind; }
    core::SourceSession& session(std::size_t i) { return *opened_[i].session; }
    // The source's listing, made at the first call.
    core::SourceListing& listing(std::size_t i);
    // The thumbprint of the listing's certificate c; after listing(i).
    const std::string& thumbprint(std::size_t i, std::size_t c) const {
        return opened_[i].thumbprints[c];
    }
    // The first certificate of the source's listing with this thumbprint
    // (lower-case hex), or null.
    const core::SourceCertificate* find(std::size_t i, std::string_view thumbprint);

  private:
    struct Opened {
        core::SourceKind kind;
        std::unique_ptr<core::SourceSession> session;
        std::optional<core::SourceListing> listing;
        std::vector<std::string> thumbprints;  // of the listing, in its order
    };
    std::vector<Opened> opened_;
};

// The first certificate, across the sources in order, whose thumbprint
// equals the given one with ASCII letters lower-cased.
core::Result<const core::SourceCertificate*> find_certificate(RequestSources& sources,
                                                              std::string_view thumbprint);

// Decodes each Base64 value in order; with a digest algorithm the decoded
// bytes are digested, without it they are the digest. The error is the
// message that belongs to field_name.
std::expected<std::vector<core::Bytes>, std::string> decode_sign_inputs(
    std::span<const InputText> values, std::string_view field_name,
    std::optional<core::DigestAlgorithm> digest);

// The detail of the SignFailed that a signature gets when it does not verify
// against the certificate's public key.
inline constexpr std::string_view SIGNATURE_MISMATCH =
    "a assinatura do token não corresponde ao certificado";

// Offers the digests to each source that holds the certificate, in order,
// with the certificate as that source listed it; signatures that do not
// verify count as that source's SignFailed.
core::Result<std::vector<core::Bytes>> sign_with_sources(RequestSources& sources,
                                                         std::string_view thumbprint,
                                                         std::span<const core::Bytes> digests,
                                                         core::DigestAlgorithm alg,
                                                         core::PinView pin);

}  // namespace tolvex::agent
