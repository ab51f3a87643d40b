#include "tolvex/os_store/store_source.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tolvex/core/cert.hpp"
#include "tolvex/core/digest.hpp"
#include "tolvex/core/key_storage.hpp"
#include "tolvex/core/scope_exit.hpp"
#include "tolvex/core/text.hpp"
#include "tolvex/core/types.hpp"

namespace tolvex::os_store {

namespace {

using core::AgentError;
using core::ErrorKind;

// Read-only, current user only, never created when missing.
constexpr Dword PERSONAL_STORE_OPEN_FLAGS =
    kCertSystemStoreCurrentUser | kCertStoreReadonlyFlag | kCertStoreOpenExistingFlag;

// The walk over a store. The platform frees the context handed back to it, so
// at most one context is held at a time; whatever is still held when the walk
// is abandoned is freed here.
class StoreWalk {
  public:
    StoreWalk(StoreApi& api, StoreHandle store) : api_(api), store_(store) {}
    StoreWalk(const StoreWalk&) = delete;
    StoreWalk& operator=(const StoreWalk&) = delete;
    ~StoreWalk() {
        if (current_ != 0)
            api_.cert_free_certificate_context(current_);
    }
    // The next context, 0 at the end.
    CertContext next() {
        current_ = api_.cert_enum_certificates_in_store(store_, current_);
        return current_;
    }
    // Ends the walk keeping the current context; the caller frees it.
    CertContext take() { return std::exchange(current_, 0); }

  private:
    StoreApi& api_;
    StoreHandle store_;
    CertContext current_ = 0;
};

std::expected<StoreHandle, std::string> open_personal_store(StoreApi& api) {
    const std::array<char16_t, 3> name{u'M', u'Y', 0};
    StoreHandle store =
        api.cert_open_store(kCertStoreProvSystemW, 0, 0, PERSONAL_STORE_OPEN_FLAGS, name.data());
    if (store == 0) {
        const Dword code = api.get_last_error();
        return std::unexpected("CertOpenStore falhou (erro " + std::to_string(code) + ")");
    }
    return store;
}

bool has_key_prov_info(StoreApi& api, CertContext context) {
    Dword size = 0;
    return api.cert_get_certificate_context_property(context, kCertKeyProvInfoPropId, nullptr,
                                                     &size);
}

// The provider name of the key-provider property, when it names one.
std::optional<std::string> read_provider_name(StoreApi& api, CertContext context) {
    Dword size = 0;
    if (!api.cert_get_certificate_context_property(context, kCertKeyProvInfoPropId, nullptr,
                                                   &size) ||
        size == 0) {
        return std::nullopt;
    }
    // 8-byte units: the structure holds pointers and must be aligned for them.
    std::vector<std::uint64_t> buffer((static_cast<std::size_t>(size) + 7) / 8);
    Dword read_size = size;
    if (!api.cert_get_certificate_context_property(context, kCertKeyProvInfoPropId, buffer.data(),
                                                   &read_size)) {
        return std::nullopt;
    }
    // A value too short to hold the structure has no pointer to read.
    if (read_size < sizeof(KeyProvInfo) || buffer.size() * 8 < sizeof(KeyProvInfo)) {
        return std::nullopt;
    }
    KeyProvInfo info;
    std::memcpy(&info, buffer.data(), sizeof info);
    if (info.provider_name == nullptr)
        return std::nullopt;

    std::size_t units = 0;
    while (units < MAX_PROVIDER_NAME_UNITS && info.provider_name[units] != 0)
        ++units;
    std::string name = utf16_to_utf8(std::u16string_view(info.provider_name, units));
    if (core::trim_white_space(name).empty())
        return std::nullopt;
    return name;
}

// The store's listing, each certificate with its place in the walk.
core::SourceListing list_personal_store(StoreApi& api) {
    core::SourceListing listing;
    auto opened = open_personal_store(api);
    if (!opened) {
        listing.warnings.push_back({std::string(PERSONAL_STORE_NAME), std::move(opened.error())});
        return listing;
    }
    const auto close =
        core::make_scope_exit([&api, store = *opened] { api.cert_close_store(store, 0); });
    StoreWalk walk(api, *opened);
    for (std::size_t position = 0; const CertContext context = walk.next(); ++position) {
        // Without the key-provider property there is no private key to use.
        if (!has_key_prov_info(api, context))
            continue;
        core::SourceCertificate cert;
        cert.provider = read_provider_name(api, context);
        cert.key_storage =
            cert.provider ? core::classify_key_storage(*cert.provider) : core::KeyStorage::Unknown;
        const auto encoded = api.cert_encoded(context);
        cert.der.assign(encoded.begin(), encoded.end());
        cert.location = std::string(PERSONAL_STORE_NAME);
        cert.source = core::SourceKind::Os;
        cert.requires_pin = false;
        cert.locator = core::StoreLocator{position};
        listing.certificates.push_back(std::move(cert));
    }
    return listing;
}

bool encoded_equals(StoreApi& api, CertContext context, std::span<const std::uint8_t> der) {
    const auto encoded = api.cert_encoded(context);
    return encoded.size() == der.size() && std::equal(encoded.begin(), encoded.end(), der.begin());
}

const char16_t* cng_algorithm_name(core::DigestAlgorithm alg) {
    switch (alg) {
        case core::DigestAlgorithm::Sha256:
            return u"SHA256";
        case core::DigestAlgorithm::Sha384:
            return u"SHA384";
        case core::DigestAlgorithm::Sha512:
            return u"SHA512";
    }
    return u"SHA256";
}

Dword capi_algorithm_id(core::DigestAlgorithm alg) {
    return kCalgSha256 | static_cast<Dword>(alg);
}

AgentError status_error(SecurityStatus status) {
    return windows_error_kind(static_cast<Dword>(status));
}

core::Result<core::Bytes> sign_cng(StoreApi& api, KeyHandle key, core::KeyAlgorithm key_alg,
                                   std::span<const std::uint8_t> digest, core::DigestAlgorithm alg,
                                   core::PinView pin) {
    if (pin) {
        const std::u16string property = u"SmartCardPin";
        std::u16string pin16 = utf8_to_utf16(*pin);
        const auto wipe = core::make_scope_exit(
            [&pin16] { core::secure_wipe(pin16.data(), pin16.size() * sizeof(char16_t)); });
        const auto bytes = static_cast<Dword>((pin16.size() + 1) * sizeof(char16_t));
        const SecurityStatus status = api.ncrypt_set_property(
            key, property.c_str(), reinterpret_cast<const std::uint8_t*>(pin16.c_str()), bytes, 0);
        if (status != 0)
            return std::unexpected(status_error(status));
    }

    const Pkcs1PaddingInfo padding{cng_algorithm_name(alg)};
    const bool rsa = key_alg == core::KeyAlgorithm::Rsa;
    const void* padding_info = rsa ? &padding : nullptr;
    const Dword flags = rsa ? kBcryptPadPkcs1 : 0;
    const auto hash_size = static_cast<Dword>(digest.size());

    Dword size = 0;
    SecurityStatus status =
        api.ncrypt_sign_hash(key, padding_info, digest.data(), hash_size, nullptr, 0, &size, flags);
    if (status != 0)
        return std::unexpected(status_error(status));
    core::Bytes signature(size);
    Dword written = 0;
    status = api.ncrypt_sign_hash(key, padding_info, digest.data(), hash_size, signature.data(),
                                  size, &written, flags);
    if (status != 0)
        return std::unexpected(status_error(status));
    signature.resize(std::min(size, written));
    return signature;
}

core::Result<core::Bytes> sign_capi(StoreApi& api, KeyHandle provider, Dword key_spec,
                                    core::KeyAlgorithm key_alg,
                                    std::span<const std::uint8_t> digest, core::DigestAlgorithm alg,
                                    core::PinView pin) {
    if (key_alg == core::KeyAlgorithm::Ec) {
        return std::unexpected(AgentError::unsupported("ECDSA em provedor CAPI legado"));
    }
    if (pin) {
        // UTF-8 as given, no code-page conversion, NUL-terminated.
        std::string pin8;
        pin8.reserve(pin->size() + 1);
        pin8.append(*pin);
        pin8.push_back('\0');
        const auto wipe =
            core::make_scope_exit([&pin8] { core::secure_wipe(pin8.data(), pin8.size()); });
        if (!api.crypt_set_prov_param(provider, kPpSignaturePin,
                                      reinterpret_cast<const std::uint8_t*>(pin8.data()), 0)) {
            return std::unexpected(windows_error_kind(api.get_last_error()));
        }
    }

    HashHandle hash = 0;
    if (!api.crypt_create_hash(provider, capi_algorithm_id(alg), 0, 0, &hash)) {
        return std::unexpected(windows_error_kind(api.get_last_error()));
    }
    const auto destroy_hash = core::make_scope_exit([&api, hash] { api.crypt_destroy_hash(hash); });
    if (!api.crypt_set_hash_param(hash, kHpHashval, digest.data(), 0)) {
        return std::unexpected(windows_error_kind(api.get_last_error()));
    }
    Dword size = 0;
    if (!api.crypt_sign_hash(hash, key_spec, nullptr, 0, nullptr, &size)) {
        return std::unexpected(windows_error_kind(api.get_last_error()));
    }
    core::Bytes signature(size);
    Dword written = size;
    if (!api.crypt_sign_hash(hash, key_spec, nullptr, 0, signature.data(), &written)) {
        return std::unexpected(windows_error_kind(api.get_last_error()));
    }
    signature.resize(std::min(size, written));
    // The provider writes the signature little-endian.
    std::reverse(signature.begin(), signature.end());
    return signature;
}

}  // namespace

AgentError windows_error_kind(Dword code) {
    switch (code) {
        case kNteUserCancelled:
        case kScardWCancelledByUser:
        case kErrorCancelled:
            return AgentError(ErrorKind::UserCancelled);
        case kScardWWrongChv:
            return AgentError(ErrorKind::PinIncorrect);
        case kScardWChvBlocked:
            return AgentError(ErrorKind::PinLocked);
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "erro do Windows 0x%08X", static_cast<unsigned>(code));
            return AgentError::sign_failed(text);
        }
    }
}

WindowsStoreSource::WindowsStoreSource(std::shared_ptr<StoreApi> api) : api_(std::move(api)) {}

core::Result<core::Bytes> sign_with_store_key(StoreApi& api,
                                              const core::SourceCertificate& certificate,
                                              core::KeyAlgorithm key_alg,
                                              std::span<const std::uint8_t> digest,
                                              core::DigestAlgorithm alg, core::PinView pin) {
    const auto* at = std::get_if<core::StoreLocator>(&certificate.locator);
    if (at == nullptr)
        return std::unexpected(AgentError(ErrorKind::KeyNotFound));
    // Neither kind of provider may be trusted with a digest that does not fit
    // its algorithm: a CryptoAPI provider reads the algorithm's length whatever
    // buffer it is given, and Wine's CNG signs the wrong length under the
    // algorithm's DigestInfo as if it were right.
    if (digest.size() != core::digest_length(alg))
        return std::unexpected(AgentError::sign_failed(std::string(core::HASH_LENGTH_MISMATCH)));

    auto opened = open_personal_store(api);
    if (!opened)
        return std::unexpected(AgentError::sign_failed(std::move(opened.error())));
    const auto close =
        core::make_scope_exit([&api, store = *opened] { api.cert_close_store(store, 0); });

    // The certificate is where the listing met it, unless the store changed
    // since: then it is not there, and neither is its key.
    CertContext match = 0;
    {
        StoreWalk walk(api, *opened);
        CertContext context = walk.next();
        for (std::size_t passed = 0; context != 0 && passed < at->position; ++passed)
            context = walk.next();
        if (context != 0 && has_key_prov_info(api, context) &&
            encoded_equals(api, context, certificate.der))
            match = walk.take();
    }
    if (match == 0)
        return std::unexpected(AgentError(ErrorKind::KeyNotFound));
    const auto free_context =
        core::make_scope_exit([&api, match] { api.cert_free_certificate_context(match); });

    KeyHandle key = 0;
    Dword key_spec = 0;
    bool caller_free = false;
    if (!api.crypt_acquire_certificate_private_key(match, kCryptAcquirePreferNcryptKeyFlag, nullptr,
                                                   &key, &key_spec, &caller_free)) {
        return std::unexpected(windows_error_kind(api.get_last_error()));
    }
    // Released only when the platform says the caller owns it.
    const auto release_key = core::make_scope_exit([&api, key, key_spec, caller_free] {
        if (!caller_free)
            return;
        if (key_spec == kCertNcryptKeySpec)
            api.ncrypt_free_object(key);
        else
            api.crypt_release_context(key, 0);
    });

    if (key_spec == kCertNcryptKeySpec)
        return sign_cng(api, key, key_alg, digest, alg, pin);
    return sign_capi(api, key, key_spec, key_alg, digest, alg, pin);
}

namespace {

// One request's use of the store. It holds nothing between calls: the store
// is opened for the listing and again for each signature.
class StoreSession final : public core::SourceSession {
  public:
    explicit StoreSession(std::shared_ptr<StoreApi> api) : api_(std::move(api)) {}

    core::SourceListing list_certificates() override { return list_personal_store(*api_); }

    core::Result<std::vector<core::Bytes>> sign(const core::SourceCertificate& certificate,
                                                std::span<const core::Bytes> digests,
                                                core::DigestAlgorithm alg,
                                                core::PinView pin) override {
        auto key_alg = core::key_algorithm(certificate.der);
        if (!key_alg)
            return std::unexpected(key_alg.error());
        std::vector<core::Bytes> signatures;
        signatures.reserve(digests.size());
        // Every hash is a complete pass: store, certificate, key and PIN
        // anew, as a provider that asks for its PIN per signature expects.
        for (const auto& digest : digests) {
            auto signature = sign_with_store_key(*api_, certificate, *key_alg, digest, alg, pin);
            if (!signature)
                return std::unexpected(std::move(signature.error()));
            signatures.push_back(std::move(*signature));
        }
        return signatures;
    }

  private:
    std::shared_ptr<StoreApi> api_;
};

}  // namespace

std::unique_ptr<core::SourceSession> WindowsStoreSource::open() const {
    return std::make_unique<StoreSession>(api_);
}

}  // namespace tolvex::os_store
