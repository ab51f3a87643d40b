#pragma once

// The PKCS#11 plumbing under the certificate source: loading a module,
// calling through its function list, sessions, object searches, attribute
// reads and the texts of failures.

#include <algorithm>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tolvex/core/types.hpp"
#include "tolvex/pkcs11/cryptoki.hpp"
#include "tolvex/pkcs11/dynlib.hpp"

namespace tolvex::pkcs11 {

// Held by every operation that uses PKCS#11 modules: modules are not known
// to be safe for use from several threads at once.
std::mutex& pkcs11_lock();

// A PKCS#11 call that failed: the function's name without "C_", and its
// return value, or none when the module's function list lacks the function.
struct CallError {
    std::string_view function;
    std::optional<CK_RV> rv;

    // "Function::Login: PKCS11 error: PinIncorrect" or
    // "Calling a NULL function pointer".
    std::string text() const;
};

template <class T>
using CallResult = std::expected<T, CallError>;

// Calls fn when the module provides it; anything but CKR_OK is a failure.
template <class Fn, class... Args>
CallResult<void> invoke(std::string_view name, Fn fn, Args... args) {
    if (fn == nullptr)
        return std::unexpected(CallError{name, std::nullopt});
    const CK_RV rv = fn(args...);
    if (rv != CKR_OK)
        return std::unexpected(CallError{name, rv});
    return {};
}

// The PKCS#11 pattern for variable-size output: ask for the count with no
// buffer, then fetch into a buffer of that count. query(buffer, &count) is
// called twice, also when the count is 0: a call without a buffer leaves an
// operation such as C_Sign active, and only the call with one ends it. The
// result is cut to the count of the second call.
template <class T, class Query>
CallResult<std::vector<T>> sized_query(Query query) {
    CK_ULONG count = 0;
    if (auto first = query(static_cast<T*>(nullptr), &count); !first)
        return std::unexpected(first.error());
    // Never empty, so the second call always passes a real buffer.
    std::vector<T> out(std::max<CK_ULONG>(count, 1));
    if (auto second = query(out.data(), &count); !second)
        return std::unexpected(second.error());
    out.resize(std::min<std::size_t>(count, out.size()));
    return out;
}

// One module for one operation: the library and its function list. Going
// out of scope unloads the library; C_Finalize is never called, since another
// user of the module in this process may still rely on it.
class Module {
  public:
    // Loads, binds and initialises; the error is the failure text.
    static std::expected<Module, std::string> load(const std::filesystem::path& path);

    const CK_FUNCTION_LIST& functions() const { return *functions_; }

  private:
    Module(DynLib lib, CK_FUNCTION_LIST* functions) : lib_(std::move(lib)), functions_(functions) {}
    DynLib lib_;
    CK_FUNCTION_LIST* functions_;
};

// A read-only session that is always closed. A close that fails cannot be
// reported to anyone and is logged at ERROR.
class Session {
  public:
    static CallResult<Session> open(const Module& module, CK_SLOT_ID slot);

    Session(Session&& other) noexcept
        : functions_(other.functions_),
          handle_(std::exchange(other.handle_, 0)),
          open_(std::exchange(other.open_, false)) {}
    Session& operator=(Session&&) = delete;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session();

    const CK_FUNCTION_LIST& functions() const { return *functions_; }
    CK_SESSION_HANDLE handle() const { return handle_; }

  private:
    Session(const CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE handle)
        : functions_(functions), handle_(handle), open_(true) {}
    const CK_FUNCTION_LIST* functions_;
    CK_SESSION_HANDLE handle_;
    bool open_;
};

CallResult<CK_TOKEN_INFO> token_info(const Module& module, CK_SLOT_ID slot);

// The slots with a token present whose token is initialised, in the module's
// order. Any failing call fails the whole step.
CallResult<std::vector<CK_SLOT_ID>> usable_slots(const Module& module);

// All objects matching the template, fetched ten handles at a time.
CallResult<std::vector<CK_OBJECT_HANDLE>> find_objects(const Session& session,
                                                       std::span<CK_ATTRIBUTE> templ);

// The attributes' values in the order asked; an attribute the token reports
// as unavailable is std::nullopt.
CallResult<std::vector<std::optional<core::Bytes>>> read_attributes(
    const Session& session, CK_OBJECT_HANDLE object,
    std::initializer_list<CK_ATTRIBUTE_TYPE> types);

struct CertificateObject {
    core::Bytes value;
    std::optional<core::Bytes> id;
};

// Every certificate object the session shows, in the token's order, with its
// CKA_VALUE and CKA_ID; objects without a value are left out.
CallResult<std::vector<CertificateObject>> certificate_objects(const Session& session);

// A fixed-width, blank-padded CK_TOKEN_INFO field as text: UTF-8 with invalid
// sequences replaced by U+FFFD, trailing blanks removed, then trimmed of
// Unicode white space.
std::string token_text(std::span<const CK_UTF8CHAR> field);

struct TokenTexts {
    std::string label;
    std::string manufacturer;
    std::string model;
    std::string serial_number;
};
TokenTexts token_texts(const CK_TOKEN_INFO& info);

}  // namespace tolvex::pkcs11
