#include "test_certs.hpp"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>

namespace tolvex::testing {

namespace {

template <class T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const { F(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Sig = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;

void check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(what);
}

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

const EVP_MD* md_named(const std::string& name) {
    if (name == "SHA256")
        return EVP_sha256();
    if (name == "SHA384")
        return EVP_sha384();
    if (name == "SHA512")
        return EVP_sha512();
    throw std::runtime_error("digest name");
}

}  // namespace

TestCertificate make_test_certificate(const std::string& common_name, TestKeyType type) {
    Pkey key(type == TestKeyType::Rsa2048 ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"));
    check(key != nullptr, "key generation");
    Cert cert(X509_new());
    check(cert != nullptr, "X509_new");
    X509_set_version(cert.get(), 2);
    static long serial = 1000;
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 365);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("BR"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "X509_sign");

    TestCertificate out;
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert.get(), &der);
    check(length > 0, "i2d_X509");
    out.der.assign(der, der + length);
    OPENSSL_free(der);

    Bio key_bio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                   nullptr) == 1,
          "PEM key");
    out.key_pem = bio_text(key_bio.get());
    Bio cert_bio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_X509(cert_bio.get(), cert.get()) == 1, "PEM cert");
    out.cert_pem = bio_text(cert_bio.get());
    return out;
}

bool verify_digest_signature(const std::vector<std::uint8_t>& cert_der,
                             const std::string& digest_name,
                             const std::vector<std::uint8_t>& digest,
                             const std::vector<std::uint8_t>& signature) {
    const unsigned char* p = cert_der.data();
    Cert cert(d2i_X509(nullptr, &p, static_cast<long>(cert_der.size())));
    if (!cert)
        return false;
    Pkey key(X509_get_pubkey(cert.get()));
    if (!key)
        return false;
    PkeyCtx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0)
        return false;
    std::vector<std::uint8_t> sig = signature;
    if (EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA) {
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
            EVP_PKEY_CTX_set_signature_md(ctx.get(), md_named(digest_name)) <= 0) {
            return false;
        }
    } else {
        // r || s back to the DER form OpenSSL verifies.
        const std::size_t width = signature.size() / 2;
        Sig ecdsa(ECDSA_SIG_new());
        BIGNUM* r = BN_bin2bn(signature.data(), static_cast<int>(width), nullptr);
        BIGNUM* s = BN_bin2bn(signature.data() + width, static_cast<int>(width), nullptr);
        ECDSA_SIG_set0(ecdsa.get(), r, s);
        unsigned char* der = nullptr;
        const int length = i2d_ECDSA_SIG(ecdsa.get(), &der);
        if (length <= 0)
            return false;
        sig.assign(der, der + length);
        OPENSSL_free(der);
    }
    return EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), digest.data(), digest.size()) == 1;
}

std::vector<std::uint8_t> sha_digest(const std::string& digest_name, const std::string& data) {
    std::vector<std::uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    check(EVP_Digest(data.data(), data.size(), out.data(), &length, md_named(digest_name),
                     nullptr) == 1,
          "EVP_Digest");
    out.resize(length);
    return out;
}

}  // namespace tolvex::testing
