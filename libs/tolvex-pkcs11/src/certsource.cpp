#include "tolvex/pkcs11/certsource.hpp"

#include <algorithm>
#include <mutex>
#include <optional>
#include <span>

#include "tolvex/core/cert.hpp"
#include "tolvex/pkcs11/key_match.hpp"
#include "tolvex/pkcs11/module.hpp"
#include "tolvex/pkcs11/names.hpp"

namespace tolvex::pkcs11 {

using core::AgentError;
using core::ErrorKind;

namespace {

constexpr std::string_view kLoginPrefix = "login no token: ";

// The set of the RequestScope under way on this thread.
thread_local ModuleSet* t_request_modules = nullptr;

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

// Logs the session out when signing has begun, whatever its outcome; the
// result does not matter, the session is closed right after.
class LogoutOnExit {
  public:
    explicit LogoutOnExit(const Session& session) : session_(session) {}
    LogoutOnExit(const LogoutOnExit&) = delete;
    LogoutOnExit& operator=(const LogoutOnExit&) = delete;
    ~LogoutOnExit() {
        if (auto fn = session_.functions().C_Logout)
            fn(session_.handle());
    }

  private:
    const Session& session_;
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

// Signs with the key of the certificate whose object was found in the
// session: login, key search, key type, then the hashes.
core::Result<std::vector<core::Bytes>> sign_in_session(const Module& module, const Session& session,
                                                       CK_SLOT_ID slot, const CK_TOKEN_INFO& info,
                                                       const CertificateObject& certificate,
                                                       std::span<const core::Bytes> hashes,
                                                       core::DigestAlgorithm alg,
                                                       core::PinView pin) {
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

    auto found = find_private_key(session, certificate.id, certificate.value);
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

    LogoutOnExit logout(session);
    return sign_hashes(module, session, slot, info, key, key_type, always_authenticate, credentials,
                       hashes, alg);
}

enum class Walk { Next, Stop };

// A slot whose token cannot be read or opened: "slot 3: Function::...".
std::string slot_failure(CK_SLOT_ID slot, const CallError& e) {
    return "slot " + std::to_string(slot) + ": " + e.text();
}

// The modules of one operation: those of the request under way on this
// thread, or a set of the operation's own, released when it ends.
class OperationModules {
  public:
    OperationModules() : set_(RequestScope::current()) {
        if (set_ == nullptr)
            set_ = &own_.emplace();
    }
    ModuleSet& operator*() const { return *set_; }

  private:
    std::optional<ModuleSet> own_;
    ModuleSet* set_;
};

// The one walk over modules, their usable slots and the tokens in them that
// every operation makes. on_slot(display, module, slot) is called for each
// usable slot; on_failure(display, text, thrown) for a module that cannot be
// loaded or whose slots cannot be found (thrown false), and for an exception
// from any step (thrown true), which ends that module's turn. Both return
// whether to go on.
template <class OnFailure, class OnSlot>
void walk_slots(ModuleSet& modules, std::span<const std::filesystem::path> paths,
                OnFailure on_failure, OnSlot on_slot) {
    for (const auto& path : paths) {
        Walk next = Walk::Next;
        std::string display;
        try {
            display = display_text(path);
            const auto& module = modules.get(path);
            if (!module) {
                next = on_failure(display, module.error(), false);
            } else if (auto slots = usable_slots(*module); !slots) {
                next = on_failure(display, slots.error().text(), false);
            } else {
                for (CK_SLOT_ID slot : *slots) {
                    if ((next = on_slot(display, *module, slot)) == Walk::Stop)
                        break;
                }
            }
        } catch (...) {
            // Nothing a module makes us allocate or do may end the request.
            next = on_failure(display, core::current_exception_text(), true);
        }
        if (next == Walk::Stop)
            return;
    }
}

}  // namespace

RequestScope::RequestScope() {
    if (t_request_modules == nullptr) {
        owned_ = std::make_unique<ModuleSet>();
        t_request_modules = owned_.get();
    }
}

RequestScope::~RequestScope() {
    if (owned_)
        t_request_modules = nullptr;
}

ModuleSet* RequestScope::current() {
    return t_request_modules;
}

Pkcs11Source::Pkcs11Source(std::vector<std::filesystem::path> module_paths)
    : module_paths_(std::move(module_paths)) {}

core::SourceListing Pkcs11Source::list_certificates() const {
    core::SourceListing listing;
    OperationModules modules;
    walk_slots(
        *modules, module_paths_,
        [&](const std::string& display, std::string text, bool) {
            listing.warnings.push_back({display, std::move(text)});
            return Walk::Next;
        },
        [&](const std::string& display, const Module& module, CK_SLOT_ID slot) {
            auto info = token_info(module, slot);
            if (!info) {
                listing.warnings.push_back({display, slot_failure(slot, info.error())});
                return Walk::Next;
            }
            const std::string label = token_texts(*info).label;
            auto session = Session::open(module, slot);
            if (!session) {
                listing.warnings.push_back(
                    {display + "/" + label, slot_failure(slot, session.error())});
                return Walk::Next;
            }
            auto objects = certificate_objects(*session);
            if (!objects) {
                listing.warnings.push_back({display + "/" + label, objects.error().text()});
                return Walk::Next;
            }
            for (CertificateObject& object : *objects) {
                listing.certificates.push_back({std::move(object.value), label, std::nullopt,
                                                core::SourceKind::Pkcs11, requires_pin(info->flags),
                                                core::KeyStorage::Token});
            }
            return Walk::Next;
        });
    return listing;
}

core::Result<core::Bytes> Pkcs11Source::sign_one(std::span<const std::uint8_t> der,
                                                 std::span<const std::uint8_t> digest,
                                                 core::DigestAlgorithm alg,
                                                 core::PinView pin) const {
    core::Bytes one(digest.begin(), digest.end());
    auto sigs = sign_batch(der, std::span<const core::Bytes>(&one, 1), alg, pin);
    if (!sigs)
        return std::unexpected(sigs.error());
    return std::move(sigs->front());
}

core::Result<std::vector<core::Bytes>> Pkcs11Source::sign_batch(
    std::span<const std::uint8_t> der, std::span<const core::Bytes> digests,
    core::DigestAlgorithm alg, core::PinView pin) const {
    std::optional<core::Result<std::vector<core::Bytes>>> outcome;
    auto end_with = [&](core::Result<std::vector<core::Bytes>> result) {
        outcome = std::move(result);
        return Walk::Stop;
    };
    // A token that cannot be read is passed over, so that it does not keep
    // another token from signing; its failure is the outcome only when no
    // token holds the certificate.
    std::optional<AgentError> unreadable;
    auto pass_over = [&](const CallError& e) {
        unreadable = sign_failed(e);
        return Walk::Next;
    };
    OperationModules modules;
    walk_slots(
        *modules, module_paths_,
        [&](const std::string&, std::string text, bool thrown) {
            // A module that cannot be used is passed over; one that failed
            // while signing ends the operation.
            if (!thrown)
                return Walk::Next;
            return end_with(std::unexpected(AgentError::sign_failed(std::move(text))));
        },
        [&](const std::string&, const Module& module, CK_SLOT_ID slot) {
            auto info = token_info(module, slot);
            if (!info)
                return pass_over(info.error());
            auto session = Session::open(module, slot);
            if (!session)
                return pass_over(session.error());
            auto objects = certificate_objects(*session);
            if (!objects)
                return pass_over(objects.error());
            auto match =
                std::find_if(objects->begin(), objects->end(), [&](const CertificateObject& o) {
                    return std::equal(o.value.begin(), o.value.end(), der.begin(), der.end());
                });
            if (match == objects->end())
                return Walk::Next;
            return end_with(
                sign_in_session(module, *session, slot, *info, *match, digests, alg, pin));
        });
    if (outcome)
        return std::move(*outcome);
    return std::unexpected(unreadable.value_or(AgentError(ErrorKind::KeyNotFound)));
}

core::TokenListing Pkcs11Source::list_tokens() const {
    core::TokenListing listing;
    // Outside a request, each module has its own turn under the lock.
    for (const auto& path : module_paths_) {
        OperationModules modules;
        walk_slots(
            *modules, std::span(&path, 1),
            [&](const std::string& display, std::string text, bool) {
                listing.warnings.push_back({display, std::move(text)});
                return Walk::Next;
            },
            [&](const std::string& display, const Module& module, CK_SLOT_ID slot) {
                auto info = token_info(module, slot);
                if (!info) {
                    listing.warnings.push_back({display, slot_failure(slot, info.error())});
                    return Walk::Next;
                }
                TokenTexts texts = token_texts(*info);
                listing.tokens.push_back({display, static_cast<std::uint64_t>(slot),
                                          std::move(texts.label), std::move(texts.manufacturer),
                                          std::move(texts.model), std::move(texts.serial_number)});
                return Walk::Next;
            });
    }
    return listing;
}

}  // namespace tolvex::pkcs11
