#pragma once

// The PKCS#11 plumbing under the certificate source: loading a module,
// calling through its function list, sessions, object searches, attribute
// reads and the texts of failures.

#include <algorithm>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <initializer_list>
#include <memory>
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

// Bounds on what a module reports. A count or a length handed back by a
// module decides how much the agent allocates, and a module is code we do not
// control: past a bound the call fails instead of the process.
//
// Slots of one module: readers and virtual slots number in the tens on a
// desktop; 1,024 leaves room for a hardware module's partitions.
inline constexpr CK_ULONG kMaxSlots = 1024;
// Object handles of one search: no token holds ten thousand certificates or
// keys, and the bound ends a search whose C_FindObjects never returns 0.
inline constexpr std::size_t kMaxSearchHandles = 10000;
// One attribute value: a certificate larger than 1 MiB could not travel in a
// response frame anyway.
inline constexpr CK_ULONG kMaxAttributeBytes = CK_ULONG{1} << 20;
// The certificate values of one token together: a few hundred certificates
// of a few KiB are a full token; without it ten thousand objects of 1 MiB
// each would still come to 10 GiB.
inline constexpr std::size_t kMaxTokenValueBytes = std::size_t{16} << 20;
// One signature: RSA-16384 makes 2 KiB; 64 KiB leaves room for schemes with
// larger signatures.
inline constexpr CK_ULONG kMaxSignatureBytes = CK_ULONG{64} << 10;

// A PKCS#11 call that failed: the function's name without "C_", and its
// return value, or none when the module's function list lacks the function
// or when what the call reported went past a bound.
struct CallError {
    std::string_view function;
    std::optional<CK_RV> rv;
    // A count or length past one of the bounds above: what it was ("slot
    // count", "signature length", ...; empty when no bound was passed), the
    // value reported and the bound.
    std::string_view excess = {};
    std::uint64_t reported = 0;
    std::uint64_t limit = 0;

    static CallError exceeded(std::string_view function, std::string_view what,
                              std::uint64_t reported, std::uint64_t limit) {
        return {function, std::nullopt, what, reported, limit};
    }

    // "Function::Login: PKCS11 error: PinIncorrect",
    // "Function::Sign: signature length 70000 exceeds the limit of 65536" or
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
// result is cut to the count of the second call. A count past the limit
// fails as the named function's call.
template <class T, class Query>
CallResult<std::vector<T>> sized_query(std::string_view function, std::string_view what,
                                       CK_ULONG limit, Query query) {
    CK_ULONG count = 0;
    if (auto first = query(static_cast<T*>(nullptr), &count); !first)
        return std::unexpected(first.error());
    if (count > limit)
        return std::unexpected(CallError::exceeded(function, what, count, limit));
    // Never empty, so the second call always passes a real buffer.
    std::vector<T> out(std::max<CK_ULONG>(count, 1));
    if (auto second = query(out.data(), &count); !second)
        return std::unexpected(second.error());
    out.resize(std::min<std::size_t>(count, out.size()));
    return out;
}

// One module for one request: the library and its function list. Going out
// of scope finalizes the module when our C_Initialize is the one that
// initialised it (a module may run threads or hold sockets until then), and
// releases the library, whose code stays mapped (DynLib). A module that
// answered CKR_CRYPTOKI_ALREADY_INITIALIZED belongs to someone else in this
// process and is left initialised. C_Initialize gets CKF_OS_LOCKING_OK, or
// NULL arguments when the module answers CKR_CANT_LOCK to that.
class Module {
  public:
    // Loads, binds and initialises; the error is the failure text.
    static std::expected<Module, std::string> load(const std::filesystem::path& path);

    Module(Module&& other) noexcept
        : lib_(std::move(other.lib_)),
          functions_(std::exchange(other.functions_, nullptr)),
          finalize_(std::exchange(other.finalize_, false)) {}
    Module& operator=(Module&&) = delete;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    ~Module();

    const CK_FUNCTION_LIST& functions() const { return *functions_; }

  private:
    Module(DynLib lib, CK_FUNCTION_LIST* functions, bool finalize)
        : lib_(std::move(lib)), functions_(functions), finalize_(finalize) {}
    DynLib lib_;
    CK_FUNCTION_LIST* functions_;
    bool finalize_;
};

// The modules of one request's PKCS#11 work, each loaded at its first use
// and kept until the set goes, so that the listing that finds a certificate
// and the signing with its key use the same load. A failed load is kept as
// well, so it is tried once per request. The PKCS#11 lock is taken at the
// first load and held until the modules are released: everything called on
// a module this set hands out runs under it.
class ModuleSet {
  public:
    ModuleSet() = default;
    ModuleSet(const ModuleSet&) = delete;
    ModuleSet& operator=(const ModuleSet&) = delete;
    // Releases the modules, the last loaded first, then the lock.
    ~ModuleSet();

    // The module at the path, loaded at the first call for it.
    const std::expected<Module, std::string>& load(const std::filesystem::path& path);

  private:
    struct Entry {
        std::filesystem::path path;
        std::expected<Module, std::string> module;
    };
    std::unique_lock<std::mutex> lock_;
    std::vector<std::unique_ptr<Entry>> entries_;
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

// The slots with a token present whose token is initialised or cannot be
// read, in the module's order. Only a failing C_GetSlotList fails the step.
CallResult<std::vector<CK_SLOT_ID>> usable_slots(const Module& module);

// All objects matching the template, fetched ten handles at a time; more
// than kMaxSearchHandles fails the search.
CallResult<std::vector<CK_OBJECT_HANDLE>> find_objects(const Session& session,
                                                       std::span<CK_ATTRIBUTE> templ);

// The attributes' values in the order asked; an attribute the token reports
// as unavailable is std::nullopt. A length past kMaxAttributeBytes fails the
// read.
CallResult<std::vector<std::optional<core::Bytes>>> read_attributes(
    const Session& session, CK_OBJECT_HANDLE object,
    std::initializer_list<CK_ATTRIBUTE_TYPE> types);

struct CertificateObject {
    core::Bytes value;
    std::optional<core::Bytes> id;
};

// Every certificate object the session shows, in the token's order, with its
// CKA_VALUE and CKA_ID; objects without a value are left out. Values past
// kMaxTokenValueBytes in all fail the listing.
CallResult<std::vector<CertificateObject>> certificate_objects(const Session& session);

// A fixed-width, blank-padded CK_TOKEN_INFO field as text: UTF-8 with invalid
// sequences replaced by U+FFFD, trailing blanks and NUL bytes removed (some
// modules pad with NUL), then trimmed of Unicode white space.
std::string token_text(std::span<const CK_UTF8CHAR> field);

struct TokenTexts {
    std::string label;
    std::string manufacturer;
    std::string model;
    std::string serial_number;
};
TokenTexts token_texts(const CK_TOKEN_INFO& info);

}  // namespace tolvex::pkcs11
