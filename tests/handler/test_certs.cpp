#include "test_certs.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "tolvex/core/cert.hpp"

namespace tolvex::testing {
namespace {

template <auto F>
struct Deleter {
    template <class T>
    void operator()(T* p) const {
        F(p);
    }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;

PkeyPtr make_key(KeyType type) {
    switch (type) {
        case KeyType::Rsa2048:
            return PkeyPtr(EVP_RSA_gen(2048));
        case KeyType::EcP256:
            return PkeyPtr(EVP_EC_gen("P-256"));
        case KeyType::Ed25519:
            return PkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    }
    return nullptr;
}

const EVP_MD* md_of(core::DigestAlgorithm alg) {
    switch (alg) {
        case core::DigestAlgorithm::Sha256:
            return EVP_sha256();
        case core::DigestAlgorithm::Sha384:
            return EVP_sha384();
        case core::DigestAlgorithm::Sha512:
            return EVP_sha512();
    }
    return EVP_sha256();
}

// The private keys of the certificates made so far, by thumbprint.
std::map<std::string, std::string>& keys_by_cert() {
    static std::map<std::string, std::string> keys;
    return keys;
}
std::mutex keys_lock;

}  // namespace

TestCert make_cert(const CertSpec& spec) {
    PkeyPtr key = make_key(spec.key);
    if (!key)
        throw std::runtime_error("key generation failed");
    X509Ptr x(X509_new());
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), spec.serial);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 3600L * 24 * 365);
    X509_NAME* name = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(spec.common_name.c_str()), -1,
                               -1, 0);
    X509_set_issuer_name(x.get(), name);
    X509_set_pubkey(x.get(), key.get());
    if (spec.is_ca) {
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
        X509_EXTENSION* ext =
            X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, "critical,CA:TRUE");
        X509_add_ext(x.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    const EVP_MD* md = spec.key == KeyType::Ed25519 ? nullptr : EVP_sha256();
    if (X509_sign(x.get(), key.get(), md) <= 0)
        throw std::runtime_error("X509_sign failed");

    TestCert out;
    int len = i2d_X509(x.get(), nullptr);
    out.der.resize(static_cast<std::size_t>(len));
    unsigned char* p = out.der.data();
    i2d_X509(x.get(), &p);

    BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    out.key_pem.assign(data, static_cast<std::size_t>(n));
    add_key_of(out.der, out.key_pem);
    return out;
}

void add_key_of(const core::Bytes& cert_der, std::string key_pem) {
    std::lock_guard lock(keys_lock);
    keys_by_cert()[core::compute_thumbprint(cert_der)] = std::move(key_pem);
}

core::Bytes sign_with_key_of(const core::Bytes& cert_der, const core::Bytes& digest,
                             core::DigestAlgorithm alg) {
    std::string pem;
    {
        std::lock_guard lock(keys_lock);
        auto it = keys_by_cert().find(core::compute_thumbprint(cert_der));
        if (it == keys_by_cert().end())
            return {};
        pem = it->second;
    }
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>> ctx(
        EVP_PKEY_CTX_new(key.get(), nullptr));
    const bool rsa = EVP_PKEY_base_id(key.get()) == EVP_PKEY_RSA;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        (rsa && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0))
        return {};
    const core::Bytes input = rsa ? core::digest_info(alg, digest) : digest;
    std::size_t len = 0;
    EVP_PKEY_sign(ctx.get(), nullptr, &len, input.data(), input.size());
    core::Bytes sig(len);
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, input.data(), input.size()) <= 0)
        return {};
    sig.resize(len);
    if (rsa)
        return sig;
    const unsigned char* p = sig.data();
    std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG_free>> es(
        d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sig.size())));
    const int half = (EVP_PKEY_get_bits(key.get()) + 7) / 8;
    core::Bytes rs(2 * static_cast<std::size_t>(half));
    BN_bn2binpad(ECDSA_SIG_get0_r(es.get()), rs.data(), half);
    BN_bn2binpad(ECDSA_SIG_get0_s(es.get()), rs.data() + half, half);
    return rs;
}

bool verify_digest_signature(const core::Bytes& cert_der, const core::Bytes& digest,
                             core::DigestAlgorithm alg, const core::Bytes& signature) {
    const unsigned char* p = cert_der.data();
    X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(cert_der.size())));
    if (!x)
        return false;
    PkeyPtr key(X509_get_pubkey(x.get()));
    if (!key)
        return false;

    core::Bytes sig = signature;
    if (EVP_PKEY_base_id(key.get()) == EVP_PKEY_EC) {
        // r||s -> DER ECDSA-Sig-Value, the form OpenSSL verifies.
        std::size_t half = sig.size() / 2;
        ECDSA_SIG* es = ECDSA_SIG_new();
        ECDSA_SIG_set0(es, BN_bin2bn(sig.data(), static_cast<int>(half), nullptr),
                       BN_bin2bn(sig.data() + half, static_cast<int>(half), nullptr));
        int len = i2d_ECDSA_SIG(es, nullptr);
        sig.resize(static_cast<std::size_t>(len));
        unsigned char* q = sig.data();
        i2d_ECDSA_SIG(es, &q);
        ECDSA_SIG_free(es);
    }
    std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>> ctx(
        EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0)
        return false;
    if (EVP_PKEY_base_id(key.get()) == EVP_PKEY_RSA) {
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
        EVP_PKEY_CTX_set_signature_md(ctx.get(), md_of(alg));
    }
    return EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), digest.data(), digest.size()) == 1;
}

}  // namespace tolvex::testing
