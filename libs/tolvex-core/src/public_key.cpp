#include "tolvex/core/public_key.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>

#include "x509.hpp"

namespace tolvex::core {
namespace {

template <auto F>
struct Free {
    template <class T>
    void operator()(T* p) const {
        F(p);
    }
};

Bytes bn_bytes(const BIGNUM* bn) {
    Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    return out;
}

std::optional<Bytes> rsa_param(const EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1 || bn == nullptr)
        return std::nullopt;
    std::unique_ptr<BIGNUM, Free<BN_free>> owned(bn);
    return bn_bytes(bn);
}

// r || s, each half as long as the group order, as DER ECDSA-Sig-Value;
// nullopt for any other length.
std::optional<Bytes> ecdsa_der(std::span<const std::uint8_t> rs, std::size_t order_bytes) {
    if (order_bytes == 0 || rs.size() != 2 * order_bytes)
        return std::nullopt;
    std::unique_ptr<ECDSA_SIG, Free<ECDSA_SIG_free>> sig(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(rs.data(), static_cast<int>(order_bytes), nullptr);
    BIGNUM* s = BN_bin2bn(rs.data() + order_bytes, static_cast<int>(order_bytes), nullptr);
    if (!sig || r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return std::nullopt;
    }
    const int len = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (len <= 0)
        return std::nullopt;
    Bytes out(static_cast<std::size_t>(len));
    unsigned char* p = out.data();
    i2d_ECDSA_SIG(sig.get(), &p);
    return out;
}

}  // namespace

Result<CertificatePublicKey> certificate_public_key(std::span<const std::uint8_t> der) {
    x509::ErrorQueueGuard guard;
    auto parsed = x509::parse(der);
    if (!parsed)
        return std::unexpected(AgentError::sign_failed(std::move(parsed.error())));
    auto algorithm = x509::key_algorithm(*parsed);
    if (!algorithm)
        return std::unexpected(algorithm.error());
    CertificatePublicKey key;
    key.algorithm = *algorithm;
    const auto unreadable = [] {
        return std::unexpected(AgentError::sign_failed("chave pública do certificado ilegível"));
    };
    X509_PUBKEY* spki = X509_get_X509_PUBKEY(parsed->cert.get());
    const unsigned char* point = nullptr;
    int point_len = 0;
    X509_ALGOR* algor = nullptr;
    if (spki == nullptr || X509_PUBKEY_get0_param(nullptr, &point, &point_len, &algor, spki) != 1)
        return unreadable();
    if (key.algorithm == KeyAlgorithm::Ec) {
        // The parameters as encoded in the certificate, which is how
        // CKA_EC_PARAMS carries them too.
        const ASN1_TYPE* params = algor != nullptr ? algor->parameter : nullptr;
        const int len = params != nullptr ? i2d_ASN1_TYPE(params, nullptr) : 0;
        if (len <= 0 || point == nullptr || point_len <= 0)
            return unreadable();
        key.ec_params.resize(static_cast<std::size_t>(len));
        unsigned char* out = key.ec_params.data();
        i2d_ASN1_TYPE(params, &out);
        key.ec_point.assign(point, point + point_len);
        return key;
    }
    const EVP_PKEY* pkey = X509_get0_pubkey(parsed->cert.get());
    auto n = pkey != nullptr ? rsa_param(pkey, OSSL_PKEY_PARAM_RSA_N) : std::nullopt;
    auto e = pkey != nullptr ? rsa_param(pkey, OSSL_PKEY_PARAM_RSA_E) : std::nullopt;
    if (!n || !e)
        return unreadable();
    key.modulus = std::move(*n);
    key.public_exponent = std::move(*e);
    return key;
}

std::optional<std::size_t> first_invalid_signature(std::span<const std::uint8_t> der,
                                                   DigestAlgorithm alg,
                                                   std::span<const Bytes> digests,
                                                   std::span<const Bytes> signatures) {
    x509::ErrorQueueGuard guard;
    auto parsed = x509::parse(der);
    EVP_PKEY* key = parsed ? X509_get0_pubkey(parsed->cert.get()) : nullptr;
    if (key == nullptr)
        return 0;
    const bool rsa = EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
    if (!rsa && EVP_PKEY_get_base_id(key) != EVP_PKEY_EC)
        return 0;
    // One context for the whole batch: a verification leaves no state
    // behind, and setting one up costs about as much as an RSA check.
    std::unique_ptr<EVP_PKEY_CTX, Free<EVP_PKEY_CTX_free>> ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
        (rsa && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1))
        return 0;
    const std::size_t order_bytes = rsa ? 0 : (EVP_PKEY_get_bits(key) + 7) / 8;
    for (std::size_t i = 0; i < digests.size(); ++i) {
        if (i >= signatures.size())
            return i;
        int verified = 0;
        if (rsa) {
            // No message digest is set, so the recovered block is compared
            // with the DigestInfo byte for byte, as the token was given it.
            const Bytes info = digest_info(alg, digests[i]);
            verified = EVP_PKEY_verify(ctx.get(), signatures[i].data(), signatures[i].size(),
                                       info.data(), info.size());
        } else if (auto sig = ecdsa_der(signatures[i], order_bytes)) {
            verified = EVP_PKEY_verify(ctx.get(), sig->data(), sig->size(), digests[i].data(),
                                       digests[i].size());
        }
        if (verified != 1)
            return i;
    }
    // One signature per digest, no more: a surplus one would be answered.
    if (signatures.size() > digests.size())
        return digests.size();
    return std::nullopt;
}

}  // namespace tolvex::core
