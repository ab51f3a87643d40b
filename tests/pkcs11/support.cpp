#include "support.hpp"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <fstream>
#include <map>
#include <random>
#include <stdexcept>

namespace tolvex::test {

std::filesystem::path token_module() {
    return TOLVEX_TEST_TOKEN_MODULE;
}
std::filesystem::path token_module_v2() {
    return TOLVEX_TEST_TOKEN_MODULE_V2;
}
std::filesystem::path token_module_bare() {
    return TOLVEX_TEST_TOKEN_MODULE_BARE;
}

ScratchDir::ScratchDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() / ("tolvex-p11-" + std::to_string(rd()));
    std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void write_file(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::vector<std::string> read_lines(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    // The Windows build of the module writes its log in text mode.
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> calls(const std::vector<std::string>& log, const std::string& function) {
    std::vector<std::string> out;
    for (const auto& line : log)
        if (line.rfind(function + " ", 0) == 0)
            out.push_back(line);
    return out;
}

namespace {

TestKey make_key(KeyKind kind, const std::string& cn, const std::filesystem::path& dir) {
    EVP_PKEY* raw = kind == KeyKind::Rsa2048
                        ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048})
                        : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    if (raw == nullptr)
        throw std::runtime_error("keygen failed");
    TestKey k;
    k.key.reset(raw, KeyDeleter{});

    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 4242);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_set_pubkey(x, raw);
    X509_sign(x, raw, EVP_sha256());
    unsigned char* der = nullptr;
    const int len = i2d_X509(x, &der);
    k.cert_der.assign(der, der + len);
    OPENSSL_free(der);
    X509_free(x);

    const std::string base = kind == KeyKind::Rsa2048 ? "rsa" : "ec";
    k.key_file = (dir / (base + ".pem")).string();
    k.cert_file = (dir / (base + ".der")).string();
    BIO* bio = BIO_new_file(k.key_file.c_str(), "w");
    PEM_write_bio_PrivateKey(bio, raw, nullptr, nullptr, 0, nullptr, nullptr);
    BIO_free(bio);
    write_file(k.cert_file, std::string(k.cert_der.begin(), k.cert_der.end()));
    return k;
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
    return nullptr;
}

}  // namespace

const TestKey& test_key(KeyKind kind, const std::string& cn) {
    static ScratchDir dir;
    static std::map<std::pair<KeyKind, std::string>, TestKey> keys;
    auto it = keys.find({kind, cn});
    if (it == keys.end()) {
        const auto sub = dir.path() / std::to_string(keys.size());
        std::filesystem::create_directories(sub);
        it = keys.emplace(std::pair{kind, cn}, make_key(kind, cn, sub)).first;
    }
    return it->second;
}

bool verify(const TestKey& key, core::DigestAlgorithm alg, const core::Bytes& digest,
            const core::Bytes& signature) {
    core::Bytes sig = signature;
    if (EVP_PKEY_base_id(key.key.get()) == EVP_PKEY_EC) {
        // r || s back to the DER form OpenSSL verifies.
        const std::size_t half = sig.size() / 2;
        ECDSA_SIG* es = ECDSA_SIG_new();
        ECDSA_SIG_set0(es, BN_bin2bn(sig.data(), static_cast<int>(half), nullptr),
                       BN_bin2bn(sig.data() + half, static_cast<int>(half), nullptr));
        unsigned char* der = nullptr;
        const int len = i2d_ECDSA_SIG(es, &der);
        sig.assign(der, der + len);
        OPENSSL_free(der);
        ECDSA_SIG_free(es);
    }
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.key.get(), nullptr);
    bool ok = EVP_PKEY_verify_init(ctx) > 0 && EVP_PKEY_CTX_set_signature_md(ctx, md_of(alg)) > 0;
    if (ok && EVP_PKEY_base_id(key.key.get()) == EVP_PKEY_RSA)
        ok = EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0;
    ok = ok && EVP_PKEY_verify(ctx, sig.data(), sig.size(), digest.data(), digest.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

}  // namespace tolvex::test
