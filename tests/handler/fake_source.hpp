#pragma once

// Scripted in-memory certificate sources: they list what a test gives them
// and record every signing call.

#include <functional>
#include <memory>
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

// One fake serves every request: its sessions list and sign from its fields.
class FakeSource final : public core::CertificateSource {
  public:
    using SignFn = std::function<core::Result<std::vector<core::Bytes>>(const SignCall&)>;

    explicit FakeSource(core::SourceKind kind) : kind_(kind) {}

    core::SourceListing listing;
    core::TokenListing tokens;
    SignFn on_sign;  // unset: one fixed signature per digest
    mutable std::vector<SignCall> sign_calls;
    mutable int list_calls = 0;

    void add(const core::Bytes& der, std::string location = "MY", bool requires_pin = false,
             std::optional<std::string> provider = std::nullopt,
             core::KeyStorage storage = core::KeyStorage::Unknown) {
        listing.certificates.push_back(
            {der, std::move(location), std::move(provider), kind_, requires_pin, storage, {}});
    }

    core::SourceKind source_kind() const override { return kind_; }
    std::unique_ptr<core::SourceSession> open() const override {
        return std::make_unique<Session>(*this);
    }

  private:
    class Session final : public core::SourceSession {
      public:
        explicit Session(const FakeSource& source) : source_(source) {}
        core::SourceListing list_certificates() override {
            ++source_.list_calls;
            return source_.listing;
        }
        core::TokenListing list_tokens() override { return source_.tokens; }
        core::Result<std::vector<core::Bytes>> sign(const core::SourceCertificate& certificate,
                                                    std::span<const core::Bytes> digests,
                                                    core::DigestAlgorithm alg,
                                                    core::PinView pin) override {
            SignCall call{certificate.der, std::vector<core::Bytes>(digests.begin(), digests.end()),
                          alg, pin ? std::optional<std::string>(std::string(*pin)) : std::nullopt};
            source_.sign_calls.push_back(call);
            if (source_.on_sign)
                return source_.on_sign(call);
            std::vector<core::Bytes> out;
            for (const auto& digest : digests) {
                core::Bytes sig = digest;
                sig.push_back(static_cast<std::uint8_t>(source_.kind_));  // marks who signed
                out.push_back(std::move(sig));
            }
            return out;
        }

      private:
        const FakeSource& source_;
    };

    core::SourceKind kind_;
};

}  // namespace tolvex::testing
