#pragma once

// The narrow seam between the store source and the platform: one virtual per
// crypt32 / ncrypt / advapi32 call the source makes, in the platform's own
// terms (DWORD status codes, NUL-terminated UTF-16 names, key specifications,
// handles as opaque values). No Windows header is needed to use it; the few
// constants the source passes are defined here with the platform's values,
// named after the platform's macros in kCamelCase (kCertKeyProvInfoPropId is
// CERT_KEY_PROV_INFO_PROP_ID) so that the Windows headers' macros of the
// same names cannot clash with them.
//
// The product's one backend is store_api_windows.cpp, the real calls. Tests
// bring their own: recording fakes, an emulated store for Linux
// (tests/os_store/emulator), and the real backend wrapped to replace the one
// call Wine cannot make real (a certificate's CNG key).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tolvex/core/text.hpp"

namespace tolvex::os_store {

using Dword = std::uint32_t;
using SecurityStatus = std::int32_t;  // SECURITY_STATUS is a LONG

// Opaque platform handles; 0 is "none".
using StoreHandle = std::uintptr_t;  // HCERTSTORE
using CertContext = std::uintptr_t;  // PCCERT_CONTEXT
using KeyHandle = std::uintptr_t;    // HCRYPTPROV_OR_NCRYPT_KEY_HANDLE
using HashHandle = std::uintptr_t;   // HCRYPTHASH

inline constexpr Dword kCertStoreProvSystemW = 10;
inline constexpr Dword kCertSystemStoreCurrentUser = 0x00010000;
inline constexpr Dword kCertStoreReadonlyFlag = 0x00008000;
inline constexpr Dword kCertStoreOpenExistingFlag = 0x00004000;
inline constexpr Dword kCertKeyProvInfoPropId = 2;
inline constexpr Dword kCryptAcquirePreferNcryptKeyFlag = 0x00020000;
inline constexpr Dword kCertNcryptKeySpec = 0xFFFFFFFF;
inline constexpr Dword kAtKeyexchange = 1;
inline constexpr Dword kAtSignature = 2;
inline constexpr Dword kBcryptPadPkcs1 = 2;
inline constexpr Dword kPpSignaturePin = 0x21;
inline constexpr Dword kCalgSha256 = 0x800C;
inline constexpr Dword kCalgSha384 = 0x800D;
inline constexpr Dword kCalgSha512 = 0x800E;
inline constexpr Dword kHpHashval = 2;

inline constexpr Dword kErrorFileNotFound = 2;
inline constexpr Dword kErrorInvalidData = 13;
inline constexpr Dword kErrorInvalidParameter = 87;
inline constexpr Dword kErrorMoreData = 234;
inline constexpr Dword kErrorCancelled = 0x000004C7;
inline constexpr Dword kCryptENotFound = 0x80092004;
inline constexpr Dword kNteBadHash = 0x80090002;
inline constexpr Dword kNteBadAlgid = 0x80090008;
inline constexpr Dword kNteNoKey = 0x8009000D;
inline constexpr Dword kNteInvalidHandle = 0x80090026;
inline constexpr Dword kNteInvalidParameter = 0x80090027;
inline constexpr Dword kNteBufferTooSmall = 0x80090028;
inline constexpr Dword kNteNotSupported = 0x80090029;
inline constexpr Dword kNteUserCancelled = 0x80090036;
inline constexpr Dword kScardWWrongChv = 0x8010006B;
inline constexpr Dword kScardWChvBlocked = 0x8010006C;
inline constexpr Dword kScardWCancelledByUser = 0x8010006E;

// Mirrors CRYPT_KEY_PROV_INFO field for field (the Windows backend checks the
// layout against the real structure). The property's bytes start with it; the
// strings it points at follow inside the same buffer.
struct KeyProvInfo {
    char16_t* container_name;  // pwszContainerName
    char16_t* provider_name;   // pwszProvName
    Dword provider_type;       // dwProvType
    Dword flags;               // dwFlags
    Dword provider_param_count;
    void* provider_params;
    Dword key_spec;  // dwKeySpec
};

// Mirrors BCRYPT_PKCS1_PADDING_INFO.
struct Pkcs1PaddingInfo {
    const char16_t* algorithm_id;  // pszAlgId, e.g. u"SHA256"
};

class StoreApi {
  public:
    virtual ~StoreApi() = default;

    // GetLastError of the calling thread after a failed BOOL / handle call.
    virtual Dword get_last_error() = 0;

    // crypt32. A returned handle or context of 0 means failure.
    virtual StoreHandle cert_open_store(Dword store_provider, Dword encoding_type,
                                        std::uintptr_t crypt_prov, Dword flags,
                                        const char16_t* parameter) = 0;
    virtual bool cert_close_store(StoreHandle store, Dword flags) = 0;
    // Releases `previous` (when not 0) and yields the next context, 0 at the end.
    virtual CertContext cert_enum_certificates_in_store(StoreHandle store,
                                                        CertContext previous) = 0;
    virtual bool cert_free_certificate_context(CertContext context) = 0;
    // The context's pbCertEncoded / cbCertEncoded; valid while it is held.
    virtual std::span<const std::uint8_t> cert_encoded(CertContext context) = 0;
    // data == nullptr asks for the size only.
    virtual bool cert_get_certificate_context_property(CertContext context, Dword prop_id,
                                                       void* data, Dword* size) = 0;
    virtual bool crypt_acquire_certificate_private_key(CertContext context, Dword flags,
                                                       void* parameters, KeyHandle* key,
                                                       Dword* key_spec, bool* caller_free) = 0;

    // ncrypt: the status is returned, 0 is success.
    virtual SecurityStatus ncrypt_set_property(KeyHandle key, const char16_t* property,
                                               const std::uint8_t* data, Dword size,
                                               Dword flags) = 0;
    virtual SecurityStatus ncrypt_sign_hash(KeyHandle key, const void* padding_info,
                                            const std::uint8_t* hash, Dword hash_size,
                                            std::uint8_t* signature, Dword signature_size,
                                            Dword* result_size, Dword flags) = 0;
    virtual SecurityStatus ncrypt_free_object(KeyHandle key) = 0;

    // advapi32 (legacy CryptoAPI).
    virtual bool crypt_set_prov_param(KeyHandle provider, Dword param, const std::uint8_t* data,
                                      Dword flags) = 0;
    virtual bool crypt_create_hash(KeyHandle provider, Dword algorithm, std::uintptr_t key,
                                   Dword flags, HashHandle* hash) = 0;
    virtual bool crypt_set_hash_param(HashHandle hash, Dword param, const std::uint8_t* data,
                                      Dword flags) = 0;
    virtual bool crypt_sign_hash(HashHandle hash, Dword key_spec, const char16_t* description,
                                 Dword flags, std::uint8_t* signature, Dword* signature_size) = 0;
    virtual bool crypt_destroy_hash(HashHandle hash) = 0;
    virtual bool crypt_release_context(KeyHandle provider, Dword flags) = 0;
};

// The real calls (Windows builds; store_api_windows.cpp).
std::shared_ptr<StoreApi> platform_store_api();

// UTF-16 <-> UTF-8, with U+FFFD for what is ill-formed (core::to_utf8_lossy).
inline std::string utf16_to_utf8(std::u16string_view text) {
    return core::to_utf8_lossy(text);
}
inline std::u16string utf8_to_utf16(std::string_view text) {
    return core::to_utf16_lossy(text);
}

}  // namespace tolvex::os_store
