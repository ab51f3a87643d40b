#pragma once

// Scripted in-memory certificate sources: they list what a test gives them
// and record every signing call.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tolvex/core/source.hpp"

namespace tolvex::testing {

struct SignCall {
    core::Bytes der;
    std::vector<core::Bytes> digests;
    core::DigestAlgorithm alg;
    std::optional<std::string> pin;
};

class FakeSource final : public core::CertificateSource {
  public:
    using SignFn = std::function<core::Result<std::vector<core::Bytes>>(const SignCall&)>;

    explicit FakeSource(core::SourceKind kind) : kind_(kind) {}

    core::SourceListing listing;
    SignFn on_sign;  // unset: one fixed signature per digest
    mutable std::vector<SignCall> sign_calls;
    mutable int list_calls = 0;

    void add(const core::Bytes& der, std::string location = "MY", bool requires_pin = false,
             std::optional<std::string> provider = std::nullopt,
             core::KeyStorage storage = core::KeyStorage::Unknown) {
        listing.certificates.push_back(
            {der, std::move(location), std::move(provider), kind_, requires_pin, storage});
    }

    core::SourceKind source_kind() const override { return kind_; }
    core::SourceListing list_certificates() const override {
        ++list_calls;
        return listing;
    }
    core::Result<core::Bytes> sign_one(std::span<const std::uint8_t> der,
                                       std::span<const std::uint8_t> digest,
                                       core::DigestAlgorithm alg,
                                       core::PinView pin) const override {
        core::Bytes d(digest.begin(), digest.end());
        auto r = sign_batch(der, std::span(&d, 1), alg, pin);
        if (!r)
            return std::unexpected(r.error());
        return r->front();
    }
    core::Result<std::vector<core::Bytes>> sign_batch(std::span<const std::uint8_t> der,
                                                      std::span<const core::Bytes> digests,
                                                      core::DigestAlgorithm alg,
                                                      core::PinView pin) const override {
        SignCall call{core::Bytes(der.begin(), der.end()),
                      std::vector<core::Bytes>(digests.begin(), digests.end()), alg,
                      pin ? std::optional<std::string>(std::string(*pin)) : std::nullopt};
        sign_calls.push_back(call);
        if (on_sign)
            return on_sign(call);
        std::vector<core::Bytes> out;
        for (std::size_t i = 0; i < digests.size(); ++i) {
            core::Bytes sig = digests[i];
            sig.push_back(static_cast<std::uint8_t>(kind_));  // marks who signed
            out.push_back(std::move(sig));
        }
        return out;
    }

  private:
    core::SourceKind kind_;
};

class FakeTokens final : public core::TokenLister {
  public:
    core::TokenListing listing;
    core::TokenListing list_tokens() const override { return listing; }
};

}  // namespace tolvex::testing
