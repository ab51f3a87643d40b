// The real backend: each seam operation is the crypt32 / ncrypt / advapi32
// call of the same name, with the arguments passed through unchanged.

#include "tolvex/os_store/store_api.hpp"

// clang-format off
#include <windows.h>
#include <wincrypt.h>
#include <ncrypt.h>
#include <bcrypt.h>
// clang-format on

#include <cstddef>
#include <memory>

namespace tolvex::os_store {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));
static_assert(sizeof(KeyProvInfo) == sizeof(CRYPT_KEY_PROV_INFO));
static_assert(offsetof(KeyProvInfo, provider_name) == offsetof(CRYPT_KEY_PROV_INFO, pwszProvName));
static_assert(offsetof(KeyProvInfo, key_spec) == offsetof(CRYPT_KEY_PROV_INFO, dwKeySpec));
static_assert(sizeof(Pkcs1PaddingInfo) == sizeof(BCRYPT_PKCS1_PADDING_INFO));
static_assert(sizeof(StoreHandle) == sizeof(HCERTSTORE));
static_assert(sizeof(KeyHandle) == sizeof(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE));
static_assert(sizeof(HashHandle) == sizeof(HCRYPTHASH));

// The seam's copies of the platform's constants, checked against its headers
// (CERT_STORE_PROV_SYSTEM_W is a pointer cast and cannot be checked here).
static_assert(kCertSystemStoreCurrentUser == CERT_SYSTEM_STORE_CURRENT_USER);
static_assert(kCertStoreReadonlyFlag == CERT_STORE_READONLY_FLAG);
static_assert(kCertStoreOpenExistingFlag == CERT_STORE_OPEN_EXISTING_FLAG);
static_assert(kCertKeyProvInfoPropId == CERT_KEY_PROV_INFO_PROP_ID);
static_assert(kCryptAcquirePreferNcryptKeyFlag == CRYPT_ACQUIRE_PREFER_NCRYPT_KEY_FLAG);
static_assert(kCertNcryptKeySpec == CERT_NCRYPT_KEY_SPEC);
static_assert(kAtKeyexchange == AT_KEYEXCHANGE && kAtSignature == AT_SIGNATURE);
static_assert(kBcryptPadPkcs1 == BCRYPT_PAD_PKCS1);
static_assert(kPpSignaturePin == PP_SIGNATURE_PIN);
static_assert(kCalgSha256 == CALG_SHA_256 && kCalgSha384 == CALG_SHA_384 &&
              kCalgSha512 == CALG_SHA_512);
static_assert(kHpHashval == HP_HASHVAL);
static_assert(kErrorCancelled == ERROR_CANCELLED);
static_assert(kNteUserCancelled == static_cast<Dword>(NTE_USER_CANCELLED));
static_assert(kNteNotSupported == static_cast<Dword>(NTE_NOT_SUPPORTED));
static_assert(kScardWWrongChv == static_cast<Dword>(SCARD_W_WRONG_CHV));
static_assert(kScardWChvBlocked == static_cast<Dword>(SCARD_W_CHV_BLOCKED));
static_assert(kScardWCancelledByUser == static_cast<Dword>(SCARD_W_CANCELLED_BY_USER));

const wchar_t* wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}
PCCERT_CONTEXT cert(CertContext context) {
    return reinterpret_cast<PCCERT_CONTEXT>(context);
}

class WindowsStoreApi final : public StoreApi {
  public:
    Dword get_last_error() override { return ::GetLastError(); }

    StoreHandle cert_open_store(Dword store_provider, Dword encoding_type,
                                std::uintptr_t crypt_prov, Dword flags,
                                const char16_t* parameter) override {
        return reinterpret_cast<StoreHandle>(::CertOpenStore(
            reinterpret_cast<LPCSTR>(static_cast<std::uintptr_t>(store_provider)), encoding_type,
            static_cast<HCRYPTPROV_LEGACY>(crypt_prov), flags, parameter));
    }

    bool cert_close_store(StoreHandle store, Dword flags) override {
        return ::CertCloseStore(reinterpret_cast<HCERTSTORE>(store), flags) != FALSE;
    }

    CertContext cert_enum_certificates_in_store(StoreHandle store, CertContext previous) override {
        return reinterpret_cast<CertContext>(
            ::CertEnumCertificatesInStore(reinterpret_cast<HCERTSTORE>(store), cert(previous)));
    }

    bool cert_free_certificate_context(CertContext context) override {
        return ::CertFreeCertificateContext(cert(context)) != FALSE;
    }

    std::span<const std::uint8_t> cert_encoded(CertContext context) override {
        const PCCERT_CONTEXT c = cert(context);
        if (c == nullptr || c->pbCertEncoded == nullptr)
            return {};
        return {c->pbCertEncoded, c->cbCertEncoded};
    }

    bool cert_get_certificate_context_property(CertContext context, Dword prop_id, void* data,
                                               Dword* size) override {
        DWORD n = *size;
        const BOOL ok = ::CertGetCertificateContextProperty(cert(context), prop_id, data, &n);
        *size = n;
        return ok != FALSE;
    }

    bool crypt_acquire_certificate_private_key(CertContext context, Dword flags, void* parameters,
                                               KeyHandle* key, Dword* key_spec,
                                               bool* caller_free) override {
        HCRYPTPROV_OR_NCRYPT_KEY_HANDLE handle = 0;
        DWORD spec = 0;
        BOOL must_free = FALSE;
        const BOOL ok = ::CryptAcquireCertificatePrivateKey(cert(context), flags, parameters,
                                                            &handle, &spec, &must_free);
        if (ok == FALSE)
            return false;
        *key = static_cast<KeyHandle>(handle);
        *key_spec = spec;
        *caller_free = must_free != FALSE;
        return true;
    }

    SecurityStatus ncrypt_set_property(KeyHandle key, const char16_t* property,
                                       const std::uint8_t* data, Dword size, Dword flags) override {
        return ::NCryptSetProperty(static_cast<NCRYPT_HANDLE>(key), wide(property),
                                   const_cast<PBYTE>(data), size, flags);
    }

    SecurityStatus ncrypt_sign_hash(KeyHandle key, const void* padding_info,
                                    const std::uint8_t* hash, Dword hash_size,
                                    std::uint8_t* signature, Dword signature_size,
                                    Dword* result_size, Dword flags) override {
        DWORD n = 0;
        const SECURITY_STATUS status = ::NCryptSignHash(
            static_cast<NCRYPT_KEY_HANDLE>(key), const_cast<void*>(padding_info),
            const_cast<PBYTE>(hash), hash_size, signature, signature_size, &n, flags);
        *result_size = n;
        return status;
    }

    SecurityStatus ncrypt_free_object(KeyHandle key) override {
        return ::NCryptFreeObject(static_cast<NCRYPT_HANDLE>(key));
    }

    bool crypt_set_prov_param(KeyHandle provider, Dword param, const std::uint8_t* data,
                              Dword flags) override {
        return ::CryptSetProvParam(static_cast<HCRYPTPROV>(provider), param, data, flags) != FALSE;
    }

    bool crypt_create_hash(KeyHandle provider, Dword algorithm, std::uintptr_t key, Dword flags,
                           HashHandle* hash) override {
        HCRYPTHASH h = 0;
        if (::CryptCreateHash(static_cast<HCRYPTPROV>(provider), algorithm,
                              static_cast<HCRYPTKEY>(key), flags, &h) == FALSE) {
            return false;
        }
        *hash = static_cast<HashHandle>(h);
        return true;
    }

    bool crypt_set_hash_param(HashHandle hash, Dword param, const std::uint8_t* data,
                              Dword flags) override {
        return ::CryptSetHashParam(static_cast<HCRYPTHASH>(hash), param, data, flags) != FALSE;
    }

    bool crypt_sign_hash(HashHandle hash, Dword key_spec, const char16_t* description, Dword flags,
                         std::uint8_t* signature, Dword* signature_size) override {
        DWORD n = *signature_size;
        const BOOL ok = ::CryptSignHashW(static_cast<HCRYPTHASH>(hash), key_spec, wide(description),
                                         flags, signature, &n);
        *signature_size = n;
        return ok != FALSE;
    }

    bool crypt_destroy_hash(HashHandle hash) override {
        return ::CryptDestroyHash(static_cast<HCRYPTHASH>(hash)) != FALSE;
    }

    bool crypt_release_context(KeyHandle provider, Dword flags) override {
        return ::CryptReleaseContext(static_cast<HCRYPTPROV>(provider), flags) != FALSE;
    }
};

}  // namespace

std::shared_ptr<StoreApi> platform_store_api() {
    return std::make_shared<WindowsStoreApi>();
}

}  // namespace tolvex::os_store
