#pragma once

// Signing as the agent does it: with a certificate as the same session of
// its source listed it. For the suites that drive one source directly.

#include <algorithm>
#include <functional>
#include <span>

#include "tolvex/core/source.hpp"

namespace tolvex::test {

// The first certificate of the session's listing with these bytes signs;
// KeyNotFound when the listing has none. after_listing runs between the two
// (to change the world under the session).
inline core::Result<std::vector<core::Bytes>> sign_listed(
    core::SourceSession& session, std::span<const std::uint8_t> der,
    std::span<const core::Bytes> digests, core::DigestAlgorithm alg, core::PinView pin,
    const std::function<void()>& after_listing = {}) {
    const auto listing = session.list_certificates();
    if (after_listing)
        after_listing();
    for (const auto& certificate : listing.certificates) {
        if (std::ranges::equal(certificate.der, der))
            return session.sign(certificate, digests, alg, pin);
    }
    return std::unexpected(core::AgentError(core::ErrorKind::KeyNotFound));
}

inline core::Result<std::vector<core::Bytes>> sign_listed(
    const core::CertificateSource& source, std::span<const std::uint8_t> der,
    std::span<const core::Bytes> digests, core::DigestAlgorithm alg, core::PinView pin,
    const std::function<void()>& after_listing = {}) {
    return sign_listed(*source.open(), der, digests, alg, pin, after_listing);
}

// One digest, one signature.
inline core::Result<core::Bytes> sign_listed_one(const core::CertificateSource& source,
                                                 std::span<const std::uint8_t> der,
                                                 std::span<const std::uint8_t> digest,
                                                 core::DigestAlgorithm alg, core::PinView pin,
                                                 const std::function<void()>& after_listing = {}) {
    const core::Bytes one(digest.begin(), digest.end());
    auto signatures = sign_listed(source, der, std::span(&one, 1), alg, pin, after_listing);
    if (!signatures)
        return std::unexpected(signatures.error());
    return std::move(signatures->front());
}

}  // namespace tolvex::test
