// The store source's CNG branch against the platform's own CNG (Wine in CI).
// Every call goes to the real crypt32 / ncrypt function but one: Wine never
// hands out a CNG key for a certificate, so acquiring the private key imports
// a throw-away RSA-2048 key into the software key storage provider instead.
// The suite puts its certificates into the user's MY store and takes them out
// again (also those an aborted run left behind).

#include <gtest/gtest.h>

#include "sign_listed.hpp"

// clang-format off
#include <windows.h>
#include <wincrypt.h>
#include <ncrypt.h>
#include <bcrypt.h>
// clang-format on

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "test_certs.hpp"
#include "tolvex/os_store/store_source.hpp"

namespace tolvex::testing {
namespace {

using core::DigestAlgorithm;
using os_store::CertContext;
using os_store::Dword;
using os_store::HashHandle;
using os_store::KeyHandle;
using os_store::SecurityStatus;
using os_store::StoreHandle;

// Part of every subject this suite puts into MY.
constexpr wchar_t kSubjectMark[] = L"tolvex CNG test";

// The key as a BCRYPT_RSAPRIVATE_BLOB: the header, then e, n, p and q
// big-endian. Empty when the PEM cannot be read.
std::vector<std::uint8_t> rsa_private_blob(const std::string& key_pem) {
    BIO* bio = BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    const char* names[] = {OSSL_PKEY_PARAM_RSA_E, OSSL_PKEY_PARAM_RSA_N,
                           OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2};
    std::vector<std::vector<std::uint8_t>> parts;
    for (const char* name : names) {
        BIGNUM* value = nullptr;
        if (key == nullptr || EVP_PKEY_get_bn_param(key, name, &value) != 1)
            break;
        parts.emplace_back(BN_num_bytes(value));
        BN_bn2bin(value, parts.back().data());
        BN_free(value);
    }
    EVP_PKEY_free(key);
    if (parts.size() != 4)
        return {};
    const BCRYPT_RSAKEY_BLOB header{BCRYPT_RSAPRIVATE_MAGIC,
                                    static_cast<ULONG>(parts[1].size() * 8),
                                    static_cast<ULONG>(parts[0].size()),
                                    static_cast<ULONG>(parts[1].size()),
                                    static_cast<ULONG>(parts[2].size()),
                                    static_cast<ULONG>(parts[3].size())};
    const auto* head = reinterpret_cast<const std::uint8_t*>(&header);
    std::vector<std::uint8_t> blob(head, head + sizeof header);
    for (const auto& part : parts)
        blob.insert(blob.end(), part.begin(), part.end());
    return blob;
}

// MY opened for writing (created when the prefix has none yet); changes are
// committed when it closes, so the source's own openings see them.
struct WritableMy {
    HCERTSTORE handle =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
    ~WritableMy() {
        if (handle != nullptr) {
            CertControlStore(handle, 0, CERT_STORE_CTRL_COMMIT, nullptr);
            CertCloseStore(handle, 0);
        }
    }
};

void remove_test_certificates() {
    WritableMy my;
    if (my.handle == nullptr)
        return;
    while (PCCERT_CONTEXT found = CertFindCertificateInStore(
               my.handle, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W, kSubjectMark, nullptr)) {
        CertDeleteCertificateFromStore(found);  // frees `found`
    }
}

// Adds `der` to MY with a key-provider property naming the software key
// storage provider, as a CNG key's certificate has it.
bool add_test_certificate(const std::vector<std::uint8_t>& der) {
    WritableMy my;
    if (my.handle == nullptr)
        return false;
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (cert == nullptr)
        return false;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<LPWSTR>(L"tolvex-cng-test");
    info.pwszProvName = const_cast<LPWSTR>(MS_KEY_STORAGE_PROVIDER);
    const bool ok = CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) &&
                    CertAddCertificateContextToStore(my.handle, cert, CERT_STORE_ADD_NEW, nullptr);
    CertFreeCertificateContext(cert);
    return ok;
}

// The real platform with acquiring the key replaced. It also watches the key
// handles it hands out (each must come back once to the real NCryptFreeObject)
// and the PIN each key holds when it signs.
class ImportedCngKeyApi final : public os_store::StoreApi {
  public:
    ImportedCngKeyApi(NCRYPT_PROV_HANDLE provider, std::vector<std::uint8_t> blob)
        : provider_(provider), blob_(std::move(blob)) {}

    int acquired = 0;
    std::set<KeyHandle> live;  // handed out and not yet freed
    int stray_frees = 0;       // a handle freed twice, or one never handed out
    int failed_frees = 0;
    // The "SmartCardPin" value (NUL included) at each NCryptSignHash.
    std::vector<std::optional<std::u16string>> pins_at_signing;

    bool crypt_acquire_certificate_private_key(CertContext, Dword, void*, KeyHandle* key,
                                               Dword* key_spec, bool* caller_free) override {
        NCRYPT_KEY_HANDLE handle = 0;
        const SECURITY_STATUS status =
            NCryptImportKey(provider_, 0, BCRYPT_RSAPRIVATE_BLOB, nullptr, &handle, blob_.data(),
                            static_cast<DWORD>(blob_.size()), 0);
        if (status != ERROR_SUCCESS) {
            SetLastError(static_cast<DWORD>(status));
            return false;
        }
        ++acquired;
        live.insert(handle);
        *key = handle;
        *key_spec = os_store::kCertNcryptKeySpec;
        *caller_free = true;
        return true;
    }

    SecurityStatus ncrypt_sign_hash(KeyHandle key, const void* padding_info,
                                    const std::uint8_t* hash, Dword hash_size,
                                    std::uint8_t* signature, Dword signature_size,
                                    Dword* result_size, Dword flags) override {
        wchar_t pin[64];
        DWORD size = 0;
        if (NCryptGetProperty(key, L"SmartCardPin", reinterpret_cast<PBYTE>(pin), sizeof pin, &size,
                              0) == ERROR_SUCCESS) {
            pins_at_signing.emplace_back(
                std::u16string(reinterpret_cast<char16_t*>(pin), size / 2));
        } else {
            pins_at_signing.emplace_back();
        }
        return real_->ncrypt_sign_hash(key, padding_info, hash, hash_size, signature,
                                       signature_size, result_size, flags);
    }

    SecurityStatus ncrypt_free_object(KeyHandle key) override {
        if (live.erase(key) == 0) {
            ++stray_frees;  // not passed on: the platform would free freed memory
            return static_cast<SecurityStatus>(NTE_INVALID_HANDLE);
        }
        const SecurityStatus status = real_->ncrypt_free_object(key);
        failed_frees += status != ERROR_SUCCESS;
        return status;
    }

    // Everything else: the real calls.
    Dword get_last_error() override { return real_->get_last_error(); }
    StoreHandle cert_open_store(Dword provider, Dword encoding, std::uintptr_t prov, Dword flags,
                                const char16_t* parameter) override {
        return real_->cert_open_store(provider, encoding, prov, flags, parameter);
    }
    bool cert_close_store(StoreHandle store, Dword flags) override {
        return real_->cert_close_store(store, flags);
    }
    CertContext cert_enum_certificates_in_store(StoreHandle store, CertContext previous) override {
        return real_->cert_enum_certificates_in_store(store, previous);
    }
    bool cert_free_certificate_context(CertContext context) override {
        return real_->cert_free_certificate_context(context);
    }
    std::span<const std::uint8_t> cert_encoded(CertContext context) override {
        return real_->cert_encoded(context);
    }
    bool cert_get_certificate_context_property(CertContext context, Dword prop_id, void* data,
                                               Dword* size) override {
        return real_->cert_get_certificate_context_property(context, prop_id, data, size);
    }
    SecurityStatus ncrypt_set_property(KeyHandle key, const char16_t* property,
                                       const std::uint8_t* data, Dword size, Dword flags) override {
        return real_->ncrypt_set_property(key, property, data, size, flags);
    }
    bool crypt_set_prov_param(KeyHandle provider, Dword param, const std::uint8_t* data,
                              Dword flags) override {
        return real_->crypt_set_prov_param(provider, param, data, flags);
    }
    bool crypt_create_hash(KeyHandle provider, Dword algorithm, std::uintptr_t key, Dword flags,
                           HashHandle* hash) override {
        return real_->crypt_create_hash(provider, algorithm, key, flags, hash);
    }
    bool crypt_set_hash_param(HashHandle hash, Dword param, const std::uint8_t* data,
                              Dword flags) override {
        return real_->crypt_set_hash_param(hash, param, data, flags);
    }
    bool crypt_sign_hash(HashHandle hash, Dword key_spec, const char16_t* description, Dword flags,
                         std::uint8_t* signature, Dword* signature_size) override {
        return real_->crypt_sign_hash(hash, key_spec, description, flags, signature,
                                      signature_size);
    }
    bool crypt_destroy_hash(HashHandle hash) override { return real_->crypt_destroy_hash(hash); }
    bool crypt_release_context(KeyHandle provider, Dword flags) override {
        return real_->crypt_release_context(provider, flags);
    }

  private:
    std::shared_ptr<os_store::StoreApi> real_ = os_store::platform_store_api();
    NCRYPT_PROV_HANDLE provider_;
    std::vector<std::uint8_t> blob_;
};

class CngStore : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        rsa_ = make_test_certificate("tolvex CNG test RSA");
        ec_ = make_test_certificate("tolvex CNG test EC", TestKeyType::EcP256);
        remove_test_certificates();
        seeded_ = add_test_certificate(rsa_->der) && add_test_certificate(ec_->der);
        NCryptOpenStorageProvider(&provider_, MS_KEY_STORAGE_PROVIDER, 0);
    }
    static void TearDownTestSuite() {
        remove_test_certificates();
        if (provider_ != 0)
            NCryptFreeObject(provider_);
    }

    void SetUp() override {
        ASSERT_TRUE(seeded_) << "cannot put the test certificates into MY";
        ASSERT_NE(provider_, 0u) << "no software key storage provider";
        auto blob = rsa_private_blob(rsa_->key_pem);
        ASSERT_FALSE(blob.empty());
        api_ = std::make_shared<ImportedCngKeyApi>(provider_, std::move(blob));
    }

    void expect_each_key_freed_once(int acquisitions) const {
        EXPECT_EQ(api_->acquired, acquisitions);
        EXPECT_TRUE(api_->live.empty()) << api_->live.size() << " keys never freed";
        EXPECT_EQ(api_->stray_frees, 0);
        EXPECT_EQ(api_->failed_frees, 0);
    }

    static inline std::optional<TestCertificate> rsa_;
    static inline std::optional<TestCertificate> ec_;
    static inline bool seeded_ = false;
    static inline NCRYPT_PROV_HANDLE provider_ = 0;
    std::shared_ptr<ImportedCngKeyApi> api_;
};

TEST_F(CngStore, SignsPkcs1OverEachDigestInABatchAndWithAPin) {
    const os_store::WindowsStoreSource source(api_);
    const std::pair<DigestAlgorithm, const char*> algorithms[] = {
        {DigestAlgorithm::Sha256, "SHA256"},
        {DigestAlgorithm::Sha384, "SHA384"},
        {DigestAlgorithm::Sha512, "SHA512"}};
    for (const auto& [alg, name] : algorithms) {
        const auto digest = sha_digest(name, "contrato");
        const auto signature = test::sign_listed_one(source, rsa_->der, digest, alg, std::nullopt);
        ASSERT_TRUE(signature) << name << ": " << signature.error().message();
        EXPECT_EQ(signature->size(), 256u);
        EXPECT_TRUE(verify_digest_signature(rsa_->der, name, digest, *signature)) << name;
        std::printf("%s: signature of %zu bytes verified with OpenSSL\n", name, signature->size());
    }

    // One full pass per hash: a fresh key each time, given the PIN before it signs.
    const std::vector<core::Bytes> digests = {
        sha_digest("SHA384", "um"), sha_digest("SHA384", "dois"), sha_digest("SHA384", "três")};
    const auto batch =
        test::sign_listed(source, rsa_->der, digests, DigestAlgorithm::Sha384, "1234");
    ASSERT_TRUE(batch) << batch.error().message();
    ASSERT_EQ(batch->size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(verify_digest_signature(rsa_->der, "SHA384", digests[i], (*batch)[i])) << i;
    std::printf("SHA384 batch with PIN: %zu signatures verified with OpenSSL\n", batch->size());

    const auto accented =
        test::sign_listed_one(source, rsa_->der, digests[0], DigestAlgorithm::Sha384, "Ação-7");
    ASSERT_TRUE(accented) << accented.error().message();
    EXPECT_TRUE(verify_digest_signature(rsa_->der, "SHA384", digests[0], *accented));
    std::printf("SHA384 with PIN \"Ação-7\": signature verified with OpenSSL\n");

    // Two NCryptSignHash per signature (size, then signature): none for the
    // three without PIN, then UTF-16 with its NUL, 2 bytes per unit.
    std::vector<std::optional<std::u16string>> expected(6);
    expected.insert(expected.end(), 6, std::u16string(u"1234", 5));
    expected.insert(expected.end(), 2, std::u16string(u"Ação-7", 7));
    EXPECT_EQ(api_->pins_at_signing, expected);
    expect_each_key_freed_once(7);
}

TEST_F(CngStore, FailingSignHashIsAWindowsErrorAndStillFreesTheKey) {
    // The EC certificate's entry leads to the RSA key, so the source signs as
    // for EC, without padding, and the real RSA key refuses: NTE_INVALID_PARAMETER.
    const os_store::WindowsStoreSource source(api_);
    const std::vector<core::Bytes> digests(2, sha_digest("SHA256", "contrato"));
    const auto batch =
        test::sign_listed(source, ec_->der, digests, DigestAlgorithm::Sha256, "1234");
    ASSERT_FALSE(batch);
    EXPECT_EQ(batch.error().kind(), core::ErrorKind::SignFailed);
    EXPECT_EQ(batch.error().detail(), "erro do Windows 0x80090027");
    std::printf("RSA key asked to sign without padding: %s\n", batch.error().message().c_str());
    EXPECT_EQ(api_->pins_at_signing.size(), 1u);  // the batch stopped at its first hash
    expect_each_key_freed_once(1);
}

}  // namespace
}  // namespace tolvex::testing
