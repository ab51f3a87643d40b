#pragma once

// Pieces of the listing and sign commands, exposed for the tests.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "handler.hpp"
#include "tolvex/core/cert.hpp"

namespace tolvex::agent {

inline constexpr std::size_t MAX_BATCH_ITEMS = 500;

// The DER of the first certificate, across the sources in order, whose
// thumbprint equals the given one with ASCII letters lower-cased.
core::Result<core::Bytes> find_certificate(const HandlerContext& context,
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

// Offers the digests to each source that holds the certificate, in order;
// signatures that do not verify count as that source's SignFailed.
core::Result<std::vector<core::Bytes>> sign_with_sources(const HandlerContext& context,
                                                         std::string_view thumbprint,
                                                         std::span<const core::Bytes> digests,
                                                         core::DigestAlgorithm alg,
                                                         core::PinView pin);

}  // namespace tolvex::agent
