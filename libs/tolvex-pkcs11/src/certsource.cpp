#include "tolvex/pkcs11/certsource.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <variant>

#include "tolvex/core/cert.hpp"
#include "tolvex/core/digest.hpp"
#include "tolvex/core/key_storage.hpp"
#include "tolvex/core/scope_exit.hpp"
#include "tolvex/pkcs11/key_match.hpp"
#include "tolvex/pkcs11/module.hpp"
#include "tolvex/pkcs11/names.hpp"

namespace tolvex::pkcs11 {

using core::AgentError;
using core::ErrorKind;

namespace {

constexpr std::string_view kLoginPrefix = "login no token: ";

bool requires_pin(CK_FLAGS flags) {
    return (flags & CKF_LOGIN_REQUIRED) != 0 && (flags & CKF_PROTECTED_AUTHENTICATION_PATH) == 0;
}

AgentError sign_failed(const CallError& e) {
    return AgentError::sign_failed(e.text());
}

// Results of C_Login, before any refinement by the token's flags.
AgentError login_error(const CallError& e) {
    if (e.rv == CKR_PIN_INCORRECT || e.rv == CKR_PIN_LEN_RANGE)
        return AgentError(ErrorKind::PinIncorrect);
    if (e.rv == CKR_PIN_LOCKED)
        return AgentError(ErrorKind::PinLocked);
    return AgentError::sign_failed(std::string(kLoginPrefix) + e.text());
}

// After a wrong PIN the token's flags tell how many tries are left.
AgentError refine_wrong_pin(const Module& module, CK_SLOT_ID slot) {
    auto info = token_info(module, slot);
    if (!info)
        return AgentError(ErrorKind::PinIncorrect);
    if (info->flags & CKF_USER_PIN_LOCKED)
        return AgentError(ErrorKind::PinLocked);
    if (info->flags & CKF_USER_PIN_FINAL_TRY)
        return AgentError(ErrorKind::PinIncorrectFinalTry);
    if (info->flags & CKF_USER_PIN_COUNT_LOW)
        return AgentError(ErrorKind::PinIncorrectCountLow);
    return AgentError(ErrorKind::PinIncorrect);
}

// Results of C_SignInit and C_Sign.
AgentError signing_error(const CallError& e) {
    if (e.rv == CKR_PIN_INCORRECT)
        return AgentError(ErrorKind::PinIncorrect);
    if (e.rv == CKR_USER_NOT_LOGGED_IN)
        return AgentError(ErrorKind::PinRequired);
    return sign_failed(e);
}

// True when the token states the PIN lengths it accepts and the PIN's byte
// count is outside them: such a PIN cannot be right, and trying it could
// still cost one of the token's tries.
bool pin_length_refused(const CK_TOKEN_INFO& info, std::string_view pin) {
    const CK_ULONG min = info.ulMinPinLen, max = info.ulMaxPinLen;
    if (min == 0 || min > max)
        return false;
    return pin.size() < min || pin.size() > max;
}

// A C_Login of the given user type. With a PIN, CKR_USER_ALREADY_LOGGED_IN
// counts as success and a wrong PIN is refined by the token's flags; on the
// protected authentication path the token takes the PIN itself.
core::Result<void> login(const Module& module, const Session& session, CK_SLOT_ID slot,
                         const CK_TOKEN_INFO& info, CK_USER_TYPE user,
                         std::optional<std::string_view> pin) {
    if (pin && pin_length_refused(info, *pin))
        return std::unexpected(AgentError(ErrorKind::PinIncorrect));
    const CK_FUNCTION_LIST& f = session.functions();
    // An empty PIN is still a PIN: a null pointer would ask the token for
    // its own keypad or dialog instead.
    static CK_UTF8CHAR empty_pin[1] = {0};
    CK_UTF8CHAR* pin_bytes = nullptr;
    if (pin)
        pin_bytes = pin->data() != nullptr
                        ? reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin->data()))
                        : empty_pin;
    const CK_ULONG pin_len = pin ? static_cast<CK_ULONG>(pin->size()) : 0;
    auto ok = invoke("Login", f.C_Login, session.handle(), user, pin_bytes, pin_len);
    if (ok)
        return {};
    if (pin && ok.error().rv == CKR_USER_ALREADY_LOGGED_IN)
        return {};
    AgentError error = login_error(ok.error());
    if (pin && error.kind() == ErrorKind::PinIncorrect)
        error = refine_wrong_pin(module, slot);
    return std::unexpected(std::move(error));
}

// What the login step decided about the PIN: the bytes handed to C_Login
// (none on the protected authentication path), and whether any login applies.
struct Credentials {
    bool protected_path = false;
    core::PinView pin;
};

// One signature per hash with the key; the first failure ends the batch.
core::Result<std::vector<core::Bytes>> sign_hashes(const Module& module, const Session& session,
                                                   CK_SLOT_ID slot, const CK_TOKEN_INFO& info,
                                                   CK_OBJECT_HANDLE key, CK_KEY_TYPE key_type,
                                                   bool always_authenticate,
                                                   const Credentials& credentials,
                                                   std::span<const core::Bytes> hashes,
                                                   core::DigestAlgorithm alg) {
    CK_MECHANISM mechanism{};
    if (key_type == CKK_RSA) {
        mechanism.mechanism = CKM_RSA_PKCS;
    } else if (key_type == CKK_EC) {
        mechanism.mechanism = CKM_ECDSA;
    } else {
        return std::unexpected(AgentError::unsupported("tipo de chave " + key_type_name(key_type)));
    }
    const CK_FUNCTION_LIST& f = session.functions();
    std::vector<core::Bytes> signatures;
    signatures.reserve(hashes.size());
    for (const core::Bytes& hash : hashes) {
        core::Bytes data = key_type == CKK_RSA ? core::digest_info(alg, hash) : hash;
        if (auto ok = invoke("SignInit", f.C_SignInit, session.handle(), &mechanism, key); !ok)
            return std::unexpected(signing_error(ok.error()));
        // A key that must be authenticated for every use refuses C_Sign after
        // the first unless each operation is logged in to on its own.
        if (always_authenticate && (credentials.protected_path || credentials.pin)) {
            auto ok = login(module, session, slot, info, CKU_CONTEXT_SPECIFIC,
                            credentials.protected_path ? std::nullopt : credentials.pin);
            if (!ok)
                return std::unexpected(ok.error());
        }
        auto signature = sized_query<CK_BYTE>(
            "Sign", "signature length", kMaxSignatureBytes, [&](CK_BYTE* buffer, CK_ULONG* length) {
                return invoke("Sign", f.C_Sign, session.handle(), data.data(),
                              static_cast<CK_ULONG>(data.size()), buffer, length);
            });
        if (!signature)
            return std::unexpected(signing_error(signature.error()));
        signatures.push_back(std::move(*signature));
    }
    return signatures;
}

// Signs with the key of the certificate (its CKA_ID and DER as listed) in a
// session on its token: login, key search, key type, then the hashes.
core::Result<std::vector<core::Bytes>> sign_in_session(
    const Module& module, const Session& session, CK_SLOT_ID slot, const CK_TOKEN_INFO& info,
    const std::optional<core::Bytes>& id, std::span<const std::uint8_t> der,
    std::span<const core::Bytes> hashes, core::DigestAlgorithm alg, core::PinView pin) {
    const CK_FLAGS token_flags = info.flags;
    // A token that says its PIN is locked gets no login that can only fail;
    // the user learns it is locked, with a PIN or without one.
    if ((token_flags & CKF_LOGIN_REQUIRED) && (token_flags & CKF_USER_PIN_LOCKED))
        return std::unexpected(AgentError(ErrorKind::PinLocked));
    // A token with a protected authentication path takes every PIN itself,
    // also the one a key may want for each use on a token without login.
    Credentials credentials;
    credentials.protected_path = (token_flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
    if (token_flags & CKF_LOGIN_REQUIRED) {
        if (credentials.protected_path) {
            const CK_FUNCTION_LIST& f = session.functions();
            if (auto ok = invoke("Login", f.C_Login, session.handle(), CK_USER_TYPE{CKU_USER},
                                 static_cast<CK_UTF8CHAR*>(nullptr), CK_ULONG{0});
                !ok)
                return std::unexpected(login_error(ok.error()));
        } else {
            if (!pin)
                return std::unexpected(AgentError(ErrorKind::PinRequired));
            credentials.pin = pin;
            if (auto ok = login(module, session, slot, info, CKU_USER, pin); !ok)
                return std::unexpected(ok.error());
        }
    } else {
        // No login, but a key that wants one per use still gets the PIN.
        credentials.pin = pin;
    }

    auto found = find_private_key(session, id, der);
    if (!found)
        return std::unexpected(found.error());
    const CK_OBJECT_HANDLE key = *found;

    auto type_attr = read_attributes(session, key, {CKA_KEY_TYPE});
    if (!type_attr)
        return std::unexpected(sign_failed(type_attr.error()));
    const auto& type_bytes = (*type_attr)[0];
    if (!type_bytes || type_bytes->size() != sizeof(CK_KEY_TYPE))
        return std::unexpected(AgentError(ErrorKind::KeyNotFound));
    CK_KEY_TYPE key_type = 0;
    std::copy(type_bytes->begin(), type_bytes->end(), reinterpret_cast<std::uint8_t*>(&key_type));

    // Read on its own, so a token that does not know the attribute cannot
    // spoil the key type read; failure or absence mean false.
    bool always_authenticate = false;
    if (auto aa = read_attributes(session, key, {CKA_ALWAYS_AUTHENTICATE}); aa && (*aa)[0]) {
        const core::Bytes& v = *(*aa)[0];
        always_authenticate =
            std::any_of(v.begin(), v.end(), [](std::uint8_t b) { return b != 0; });
    }

    // Once signing has begun the session is logged out whatever the outcome;
    // the result does not matter, the session is closed right after.
    const auto logout = core::make_scope_exit([&session] {
        if (auto fn = session.functions().C_Logout)
            fn(session.handle());
    });
    return sign_hashes(module, session, slot, info, key, key_type, always_authenticate, credentials,
                       hashes, alg);
}

// A slot whose token cannot be read or opened: "slot 3: Function::...".
std::string slot_failure(CK_SLOT_ID slot, const CallError& e) {
    return "slot " + std::to_string(slot) + ": " + e.text();
}

// What tells one token from another in the same slot: the fields of its
// CK_TOKEN_INFO that name it, as the module reports them.
std::string token_identity(const CK_TOKEN_INFO& info) {
    std::string identity;
    for (std::span<const CK_UTF8CHAR> field : {std::span<const CK_UTF8CHAR>(info.label),
                                               std::span<const CK_UTF8CHAR>(info.manufacturerID),
                                               std::span<const CK_UTF8CHAR>(info.model),
                                               std::span<const CK_UTF8CHAR>(info.serialNumber)})
        identity.append(reinterpret_cast<const char*>(field.data()), field.size());
    return identity;
}

// A module's turn in a listing: where it stands in the list, its display
// text, the module and the slots worth looking at.
struct ModuleTurn {
    std::size_t index;
    std::string display;
    const Module* module;
    std::vector<CK_SLOT_ID> slots;
};

// One request's PKCS#11 work. Each module is loaded at its first use and
// kept, under the PKCS#11 lock, until the session goes at the end of the
// request; listings and signing go through the same loads. The listing
// records where it met each certificate, and signing goes there directly.
class Pkcs11Session final : public core::SourceSession {
  public:
    explicit Pkcs11Session(std::vector<std::filesystem::path> paths) : paths_(std::move(paths)) {}

    core::SourceListing list_certificates() override { return list_inlock(&list_slot_inlock); }
    core::TokenListing list_tokens() override { return list_inlock(&list_token_inlock); }
    core::Result<std::vector<core::Bytes>> sign(const core::SourceCertificate& certificate,
                                                std::span<const core::Bytes> digests,
                                                core::DigestAlgorithm alg,
                                                core::PinView pin) override;

  private:
    // Module i, loaded, with its usable slots; a module that cannot be
    // used is a warning and has no turn.
    std::optional<ModuleTurn> turn_inlock(std::size_t i,
                                          std::vector<core::SourceWarning>& warnings);
    // One slot's certificates or token into the listing, or a warning.
    static void list_slot_inlock(const ModuleTurn& turn, CK_SLOT_ID slot,
                                 core::SourceListing& listing);
    static void list_token_inlock(const ModuleTurn& turn, CK_SLOT_ID slot,
                                  core::TokenListing& listing);
    // Every usable slot of every module, in order, through one of the two.
    template <class Listing>
    Listing list_inlock(void (*list_slot)(const ModuleTurn&, CK_SLOT_ID, Listing&));

    std::vector<std::filesystem::path> paths_;
    ModuleSet modules_;
};

std::optional<ModuleTurn> Pkcs11Session::turn_inlock(std::size_t i,
                                                     std::vector<core::SourceWarning>& warnings) {
    std::string display;
    try {
        display = display_text(paths_[i]);
        const auto& module = modules_.load(paths_[i]);
        if (!module) {
            warnings.push_back({display, module.error()});
            return std::nullopt;
        }
        auto slots = usable_slots(*module);
        if (!slots) {
            warnings.push_back({display, slots.error().text()});
            return std::nullopt;
        }
        return ModuleTurn{i, std::move(display), &*module, std::move(*slots)};
    } catch (...) {
        // Nothing a module makes us allocate or do may end the request.
        warnings.push_back({display, core::current_exception_text()});
        return std::nullopt;
    }
}

void Pkcs11Session::list_slot_inlock(const ModuleTurn& turn, CK_SLOT_ID slot,
                                     core::SourceListing& listing) {
    auto info = token_info(*turn.module, slot);
    if (!info) {
        listing.warnings.push_back({turn.display, slot_failure(slot, info.error())});
        return;
    }
    const std::string label = token_texts(*info).label;
    auto session = Session::open(*turn.module, slot);
    if (!session) {
        listing.warnings.push_back(
            {turn.display + "/" + label, slot_failure(slot, session.error())});
        return;
    }
    auto objects = certificate_objects(*session);
    if (!objects) {
        listing.warnings.push_back({turn.display + "/" + label, objects.error().text()});
        return;
    }
    const std::string identity = token_identity(*info);
    for (CertificateObject& object : *objects) {
        core::TokenLocator locator{turn.index, static_cast<std::uint64_t>(slot), identity,
                                   std::move(object.id)};
        listing.certificates.push_back({std::move(object.value), label, std::nullopt,
                                        core::SourceKind::Pkcs11, requires_pin(info->flags),
                                        core::KeyStorage::Token, std::move(locator)});
    }
}

void Pkcs11Session::list_token_inlock(const ModuleTurn& turn, CK_SLOT_ID slot,
                                      core::TokenListing& listing) {
    auto info = token_info(*turn.module, slot);
    if (!info) {
        listing.warnings.push_back({turn.display, slot_failure(slot, info.error())});
        return;
    }
    TokenTexts texts = token_texts(*info);
    listing.tokens.push_back({turn.display, static_cast<std::uint64_t>(slot),
                              std::move(texts.label), std::move(texts.manufacturer),
                              std::move(texts.model), std::move(texts.serial_number)});
}

template <class Listing>
Listing Pkcs11Session::list_inlock(void (*list_slot)(const ModuleTurn&, CK_SLOT_ID, Listing&)) {
    Listing listing;
    for (std::size_t i = 0; i < paths_.size(); ++i) {
        auto turn = turn_inlock(i, listing.warnings);
        if (!turn)
            continue;
        // A failure of ours inside the turn ends it with a warning.
        try {
            for (CK_SLOT_ID slot : turn->slots)
                list_slot(*turn, slot, listing);
        } catch (...) {
            listing.warnings.push_back({turn->display, core::current_exception_text()});
        }
    }
    return listing;
}

core::Result<std::vector<core::Bytes>> Pkcs11Session::sign(
    const core::SourceCertificate& certificate, std::span<const core::Bytes> digests,
    core::DigestAlgorithm alg, core::PinView pin) {
    const auto* at = std::get_if<core::TokenLocator>(&certificate.locator);
    if (at == nullptr || at->module >= paths_.size())
        return std::unexpected(AgentError(ErrorKind::KeyNotFound));
    try {
        // Loaded by the listing that found the certificate: the same load.
        const auto& module = modules_.load(paths_[at->module]);
        if (!module)
            return std::unexpected(AgentError::sign_failed(module.error()));
        const auto slot = static_cast<CK_SLOT_ID>(at->slot);
        auto info = token_info(*module, slot);
        if (!info)
            return std::unexpected(sign_failed(info.error()));
        // A token put in the slot since the listing is not the one that
        // holds the certificate.
        if (token_identity(*info) != at->token)
            return std::unexpected(AgentError(ErrorKind::KeyNotFound));
        auto session = Session::open(*module, slot);
        if (!session)
            return std::unexpected(sign_failed(session.error()));
        return sign_in_session(*module, *session, slot, *info, at->id, certificate.der, digests,
                               alg, pin);
    } catch (...) {
        // As in the listings: a failure of ours inside the module's turn
        // ends this source's try, not the request.
        return std::unexpected(AgentError::sign_failed(core::current_exception_text()));
    }
}

}  // namespace

Pkcs11Source::Pkcs11Source(std::vector<std::filesystem::path> module_paths)
    : module_paths_(std::move(module_paths)) {}

std::unique_ptr<core::SourceSession> Pkcs11Source::open() const {
    return std::make_unique<Pkcs11Session>(module_paths_);
}

}  // namespace tolvex::pkcs11
