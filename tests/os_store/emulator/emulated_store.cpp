// The emulated personal store: what the platform's crypt32, ncrypt and
// advapi32 do for the calls the store source makes, over a store described by
// a JSON file. Keys are PEM files signed with OpenSSL: PKCS#1 v1.5 with the
// DigestInfo chosen by the algorithm name or identifier for RSA, r || s for
// ECDSA, and little-endian output on the CryptoAPI path, as the platform's
// providers produce them.

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "emulated_store.hpp"
#include "key_prov_info.hpp"
#include "tolvex/core/types.hpp"
#include "tolvex/os_store/store_source.hpp"

namespace tolvex::os_store {

namespace {

constexpr Dword kNteBadKeyset = 0x80090016;

struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct SigDeleter {
    void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};

std::string hex32(Dword value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

}  // namespace

struct EmulatedKey {
    Pkey pkey;
    bool cng = true;
    Dword key_spec = kAtKeyexchange;
    std::optional<std::string> pin;
    bool caller_free = true;
};

struct EmulatedCertificate {
    core::Bytes der;
    std::optional<KeyProvInfoValue> key_prov_info;
    std::shared_ptr<const EmulatedKey> key;
    std::map<std::string, Dword> errors;  // scripted failures by call name
};

struct EmulatedStoreData {
    std::optional<Dword> open_error;
    std::string call_log;
    std::vector<EmulatedCertificate> certificates;
};

namespace {

using json = nlohmann::json;

std::optional<Dword> code_value(const json& value) {
    if (value.is_number_unsigned())
        return static_cast<Dword>(value.get<std::uint64_t>());
    if (value.is_number_integer())
        return static_cast<Dword>(value.get<std::int64_t>());
    if (value.is_string()) {
        const auto text = value.get<std::string>();
        char* end = nullptr;
        const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
        if (!text.empty() && end != nullptr && *end == 0 && parsed <= 0xFFFFFFFFull) {
            return static_cast<Dword>(parsed);
        }
    }
    return std::nullopt;
}

std::expected<std::string, std::string> read_whole_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::unexpected("cannot read " + path.string());
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::expected<EmulatedStoreData, std::string> parse_store(const std::string& path) {
    auto text = read_whole_file(path);
    if (!text)
        return std::unexpected(text.error());
    json doc = json::parse(*text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object())
        return std::unexpected(path + ": not a JSON object");
    const std::filesystem::path base = std::filesystem::path(path).parent_path();
    auto resolve = [&](const std::string& name) {
        std::filesystem::path p(name);
        return p.is_absolute() ? p : base / p;
    };

    EmulatedStoreData data;
    if (doc.contains("open_error")) {
        data.open_error = code_value(doc["open_error"]);
        if (!data.open_error)
            return std::unexpected("open_error: not a status code");
    }
    if (doc.contains("call_log")) {
        if (!doc["call_log"].is_string())
            return std::unexpected("call_log: not a text");
        data.call_log = resolve(doc["call_log"].get<std::string>()).string();
    }
    const json certificates = doc.value("certificates", json::array());
    if (!certificates.is_array())
        return std::unexpected("certificates: not an array");
    std::map<std::string, std::shared_ptr<const EmulatedKey>> keys_by_file;
    for (const auto& entry : certificates) {
        if (!entry.is_object() || !entry.contains("der") || !entry["der"].is_string()) {
            return std::unexpected("certificate without \"der\" path");
        }
        EmulatedCertificate cert;
        auto der = read_whole_file(resolve(entry["der"].get<std::string>()));
        if (!der)
            return std::unexpected(der.error());
        cert.der.assign(der->begin(), der->end());

        if (entry.contains("key_provider")) {
            const json& kp = entry["key_provider"];
            if (!kp.is_object())
                return std::unexpected("key_provider: not an object");
            KeyProvInfoValue value;
            value.container = utf8_to_utf16(kp.value("container", std::string()));
            if (kp.contains("provider")) {
                if (!kp["provider"].is_string())
                    return std::unexpected("provider: not a text");
                value.provider = utf8_to_utf16(kp["provider"].get<std::string>());
            } else if (kp.contains("provider_units")) {
                if (!kp["provider_units"].is_array()) {
                    return std::unexpected("provider_units: not an array");
                }
                for (const auto& unit : kp["provider_units"]) {
                    if (!unit.is_number_unsigned() || unit.get<std::uint64_t>() > 0xFFFF) {
                        return std::unexpected("provider_units: not a UTF-16 unit");
                    }
                    value.provider.push_back(static_cast<char16_t>(unit.get<std::uint64_t>()));
                }
            } else {
                value.provider_null = true;
            }
            // The platform stores the name NUL-terminated; raw units may carry
            // an earlier NUL of their own.
            if (!value.provider_null)
                value.provider.push_back(0);
            value.provider_type = static_cast<Dword>(kp.value("provider_type", 0u));
            value.key_spec = static_cast<Dword>(kp.value("key_spec", 0u));
            cert.key_prov_info = std::move(value);
        }

        if (entry.contains("key")) {
            const json& k = entry["key"];
            if (!k.is_object() || !k.contains("pem") || !k["pem"].is_string()) {
                return std::unexpected("key: needs a \"pem\" path");
            }
            const std::string api = k.value("api", std::string("cng"));
            if (api != "cng" && api != "capi")
                return std::unexpected("key.api: cng or capi");
            auto pem = read_whole_file(resolve(k["pem"].get<std::string>()));
            if (!pem)
                return std::unexpected(pem.error());
            std::unique_ptr<BIO, BioDeleter> bio(
                BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size())));
            auto key = std::make_shared<EmulatedKey>();
            key->pkey.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
            if (!key->pkey)
                return std::unexpected("key.pem: no private key");
            key->cng = api == "cng";
            key->key_spec = key->cng ? kCertNcryptKeySpec
                                     : static_cast<Dword>(k.value("key_spec", kAtSignature));
            if (!key->cng && key->key_spec != kAtKeyexchange && key->key_spec != kAtSignature) {
                return std::unexpected("key.key_spec: 1 or 2");
            }
            if (k.contains("pin")) {
                if (!k["pin"].is_string())
                    return std::unexpected("key.pin: not a text");
                key->pin = k["pin"].get<std::string>();
            }
            key->caller_free = k.value("caller_free", true);
            cert.key = std::move(key);
        }

        if (entry.contains("errors")) {
            if (!entry["errors"].is_object())
                return std::unexpected("errors: not an object");
            for (const auto& [name, value] : entry["errors"].items()) {
                auto code = code_value(value);
                if (!code)
                    return std::unexpected("errors." + name + ": not a status code");
                cert.errors[name] = *code;
            }
        }
        data.certificates.push_back(std::move(cert));
    }
    return data;
}

const EVP_MD* md_for_cng_name(const char16_t* name) {
    if (name == nullptr)
        return nullptr;
    const std::u16string_view n(name);
    if (n == u"SHA256")
        return EVP_sha256();
    if (n == u"SHA384")
        return EVP_sha384();
    if (n == u"SHA512")
        return EVP_sha512();
    return nullptr;
}

const EVP_MD* md_for_calg(Dword alg) {
    switch (alg) {
        case kCalgSha256:
            return EVP_sha256();
        case kCalgSha384:
            return EVP_sha384();
        case kCalgSha512:
            return EVP_sha512();
        default:
            return nullptr;
    }
}

bool is_rsa(const EVP_PKEY* key) {
    return EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
}
bool is_ec(const EVP_PKEY* key) {
    return EVP_PKEY_get_base_id(key) == EVP_PKEY_EC;
}

std::size_t ec_field_width(const EVP_PKEY* key) {
    // Width of r and s: the byte length of the group order.
    return static_cast<std::size_t>((EVP_PKEY_get_bits(key) + 7) / 8);
}

std::size_t signature_width(const EVP_PKEY* key) {
    return is_ec(key) ? 2 * ec_field_width(key) : static_cast<std::size_t>(EVP_PKEY_get_size(key));
}

// Signs `hash` as the platform would: RSA PKCS#1 v1.5 with DigestInfo for
// `md`, or ECDSA as r || s. Empty on failure.
std::optional<core::Bytes> platform_sign(EVP_PKEY* key, const EVP_MD* md,
                                         std::span<const std::uint8_t> hash) {
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0)
        return std::nullopt;
    if (is_rsa(key)) {
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
            EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0) {
            return std::nullopt;
        }
    }
    std::size_t size = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &size, hash.data(), hash.size()) <= 0) {
        return std::nullopt;
    }
    core::Bytes out(size);
    if (EVP_PKEY_sign(ctx.get(), out.data(), &size, hash.data(), hash.size()) <= 0) {
        return std::nullopt;
    }
    out.resize(size);
    if (!is_ec(key))
        return out;

    const unsigned char* p = out.data();
    std::unique_ptr<ECDSA_SIG, SigDeleter> sig(
        d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(out.size())));
    if (!sig)
        return std::nullopt;
    const std::size_t width = ec_field_width(key);
    core::Bytes rs(2 * width);
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), rs.data(), static_cast<int>(width)) < 0 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), rs.data() + width, static_cast<int>(width)) < 0) {
        return std::nullopt;
    }
    return rs;
}

class EmulatedStoreApi final : public StoreApi {
  public:
    EmulatedStoreApi() = default;
    explicit EmulatedStoreApi(std::shared_ptr<const EmulatedStoreData> fixed)
        : fixed_(std::move(fixed)) {}

    Dword get_last_error() override { return last_error_; }

    StoreHandle cert_open_store(Dword store_provider, Dword encoding_type,
                                std::uintptr_t crypt_prov, Dword flags,
                                const char16_t* parameter) override {
        std::shared_ptr<const EmulatedStoreData> data = fixed_;
        std::optional<Dword> load_error;
        if (!data) {
            const char* path = std::getenv(EMULATED_STORE_VARIABLE);
            if (path == nullptr) {
                data = std::make_shared<EmulatedStoreData>();
            } else {
                auto loaded = load_emulated_store(path);
                if (loaded) {
                    data = *loaded;
                } else {
                    std::fprintf(stderr, "emulated store: %s\n", loaded.error().c_str());
                    load_error =
                        std::filesystem::exists(path) ? kErrorInvalidData : kErrorFileNotFound;
                }
            }
        }
        const std::string name =
            parameter != nullptr ? utf16_to_utf8(std::u16string_view(parameter)) : "(null)";
        std::ostringstream line;
        line << "CertOpenStore provider=" << store_provider << " encoding=" << encoding_type
             << " prov=" << crypt_prov << " flags=" << hex32(flags) << " name=" << name;
        if (load_error)
            return fail_handle(*load_error);
        log_path_ = data->call_log;
        const bool supported = store_provider == kCertStoreProvSystemW && name == "MY" &&
                               (flags & kCertSystemStoreCurrentUser) != 0;
        if (data->open_error || !supported) {
            const Dword code = data->open_error.value_or(kErrorFileNotFound);
            log(line.str() + " -> error " + std::to_string(code));
            return fail_handle(code);
        }
        const StoreHandle handle = next_handle_++;
        stores_[handle] = data;
        log(line.str() + " -> store " + std::to_string(handle));
        return handle;
    }

    bool cert_close_store(StoreHandle store, Dword flags) override {
        log("CertCloseStore store=" + std::to_string(store) + " flags=" + std::to_string(flags));
        if (stores_.erase(store) == 0)
            return fail(kNteInvalidHandle);
        return true;
    }

    CertContext cert_enum_certificates_in_store(StoreHandle store, CertContext previous) override {
        auto it = stores_.find(store);
        std::size_t index = 0;
        if (previous != 0) {
            auto prev = contexts_.find(previous);
            if (prev == contexts_.end())
                return fail_handle(kErrorInvalidParameter);
            index = prev->second.index + 1;
            contexts_.erase(prev);
        }
        if (it == stores_.end())
            return fail_handle(kErrorInvalidParameter);
        if (index >= it->second->certificates.size()) {
            log("CertEnumCertificatesInStore previous=" + std::to_string(previous) + " -> end");
            return fail_handle(kCryptENotFound);
        }
        const CertContext handle = next_handle_++;
        Context context;
        context.data = it->second;
        context.index = index;
        auto& counters = counters_[index];
        if (!counters)
            counters = std::make_shared<std::map<std::string, int>>();
        context.counters = counters;
        contexts_[handle] = std::move(context);
        log("CertEnumCertificatesInStore previous=" + std::to_string(previous) + " -> context " +
            std::to_string(handle));
        return handle;
    }

    bool cert_free_certificate_context(CertContext context) override {
        log("CertFreeCertificateContext context=" + std::to_string(context));
        if (context != 0)
            contexts_.erase(context);
        return true;
    }

    std::span<const std::uint8_t> cert_encoded(CertContext context) override {
        auto it = contexts_.find(context);
        if (it == contexts_.end())
            return {};
        return cert_of(it->second).der;
    }

    bool cert_get_certificate_context_property(CertContext context, Dword prop_id, void* data,
                                               Dword* size) override {
        auto it = contexts_.find(context);
        std::string line = "CertGetCertificateContextProperty context=" + std::to_string(context) +
                           " prop=" + std::to_string(prop_id) +
                           (data == nullptr ? " size-only" : " read");
        if (it == contexts_.end() || size == nullptr) {
            log(line + " -> invalid");
            return fail(kErrorInvalidParameter);
        }
        const EmulatedCertificate& cert = cert_of(it->second);
        if (auto code = scripted(it->second, cert, "CertGetCertificateContextProperty")) {
            log(line + " -> scripted " + hex32(*code));
            return fail(*code);
        }
        if (prop_id != kCertKeyProvInfoPropId || !cert.key_prov_info) {
            log(line + " -> not found");
            return fail(kCryptENotFound);
        }
        const Dword needed = key_prov_info_size(*cert.key_prov_info);
        if (data == nullptr) {
            *size = needed;
            log(line + " -> " + std::to_string(needed));
            return true;
        }
        if (*size < needed) {
            *size = needed;
            log(line + " -> more data");
            return fail(kErrorMoreData);
        }
        write_key_prov_info(*cert.key_prov_info, data);
        *size = needed;
        log(line + " -> " + std::to_string(needed));
        return true;
    }

    bool crypt_acquire_certificate_private_key(CertContext context, Dword flags, void* parameters,
                                               KeyHandle* key, Dword* key_spec,
                                               bool* caller_free) override {
        std::string line = "CryptAcquireCertificatePrivateKey context=" + std::to_string(context) +
                           " flags=" + hex32(flags) +
                           (parameters == nullptr ? " params=null" : " params=set");
        auto it = contexts_.find(context);
        if (it == contexts_.end()) {
            log(line + " -> invalid");
            return fail(kErrorInvalidParameter);
        }
        const EmulatedCertificate& cert = cert_of(it->second);
        if (auto code = scripted(it->second, cert, "CryptAcquireCertificatePrivateKey")) {
            log(line + " -> scripted " + hex32(*code));
            return fail(*code);
        }
        if (!cert.key_prov_info || !cert.key) {
            log(line + " -> no key");
            return fail(kNteBadKeyset);
        }
        const KeyHandle handle = next_handle_++;
        Key k;
        k.key = cert.key;
        k.context = it->second;
        keys_[handle] = std::move(k);
        *key = handle;
        *key_spec = cert.key->key_spec;
        *caller_free = cert.key->caller_free;
        log(line + " -> key " + std::to_string(handle) + " spec=" + hex32(cert.key->key_spec) +
            (cert.key->caller_free ? " caller-free" : ""));
        return true;
    }

    SecurityStatus ncrypt_set_property(KeyHandle key, const char16_t* property,
                                       const std::uint8_t* data, Dword size, Dword flags) override {
        const std::string name =
            property != nullptr ? utf16_to_utf8(std::u16string_view(property)) : "(null)";
        // The PIN itself never reaches the log; its byte count does.
        std::string line = "NCryptSetProperty key=" + std::to_string(key) + " name=" + name +
                           " bytes=" + std::to_string(size) + " flags=" + std::to_string(flags);
        Key* k = cng_key(key);
        if (k == nullptr)
            return status(line, kNteInvalidHandle);
        if (auto code = scripted(k->context, cert_of(k->context), "NCryptSetProperty")) {
            return status(line, *code);
        }
        if (name != "SmartCardPin")
            return status(line, kNteNotSupported);
        if (data == nullptr || size % 2 != 0 || size < 2)
            return status(line, kNteInvalidParameter);
        std::u16string pin16(size / 2, u'\0');
        std::memcpy(pin16.data(), data, size);
        if (pin16.back() != 0) {
            core::secure_wipe(pin16.data(), pin16.size() * 2);
            return status(line, kNteInvalidParameter);
        }
        pin16.pop_back();
        std::string pin = utf16_to_utf8(pin16);
        const bool right = !k->key->pin || *k->key->pin == pin;
        core::secure_wipe(pin16.data(), pin16.size() * 2);
        core::secure_wipe(pin);
        if (!right)
            return status(line, kScardWWrongChv);
        k->pin_presented = true;
        return status(line, 0);
    }

    SecurityStatus ncrypt_sign_hash(KeyHandle key, const void* padding_info,
                                    const std::uint8_t* hash, Dword hash_size,
                                    std::uint8_t* signature, Dword signature_size,
                                    Dword* result_size, Dword flags) override {
        std::string line = "NCryptSignHash key=" + std::to_string(key);
        const char16_t* alg_name =
            padding_info != nullptr
                ? static_cast<const Pkcs1PaddingInfo*>(padding_info)->algorithm_id
                : nullptr;
        line +=
            " padding=" + (padding_info == nullptr
                               ? std::string("null")
                               : (alg_name != nullptr ? utf16_to_utf8(std::u16string_view(alg_name))
                                                      : std::string("(null)")));
        line += " flags=" + std::to_string(flags) + " hash=" + std::to_string(hash_size) + " out=" +
                (signature == nullptr ? std::string("null") : std::to_string(signature_size));
        Key* k = cng_key(key);
        if (k == nullptr || result_size == nullptr)
            return status(line, kNteInvalidHandle);
        if (auto code = scripted(k->context, cert_of(k->context), "NCryptSignHash")) {
            return status(line, *code);
        }
        EVP_PKEY* pkey = k->key->pkey.get();
        const EVP_MD* md = nullptr;
        if (is_rsa(pkey)) {
            if (flags != kBcryptPadPkcs1 || padding_info == nullptr) {
                return status(line, kNteInvalidParameter);
            }
            md = md_for_cng_name(alg_name);
            if (md == nullptr)
                return status(line, kNteNotSupported);
            if (hash_size != static_cast<Dword>(EVP_MD_get_size(md))) {
                return status(line, kNteInvalidParameter);
            }
        } else if (flags != 0 || padding_info != nullptr) {
            return status(line, kNteInvalidParameter);
        }
        const auto width = static_cast<Dword>(signature_width(pkey));
        if (signature == nullptr) {
            *result_size = width;
            return status(line, 0);
        }
        if (signature_size < width)
            return status(line, kNteBufferTooSmall);
        // A key that wants a PIN the caller did not present: the provider
        // would prompt, and the emulated user dismisses the prompt.
        if (k->key->pin && !k->pin_presented)
            return status(line, kNteUserCancelled);
        auto sig = platform_sign(pkey, md, std::span(hash, hash_size));
        if (!sig)
            return status(line, kNteBadHash);
        std::copy(sig->begin(), sig->end(), signature);
        *result_size = static_cast<Dword>(sig->size());
        return status(line, 0);
    }

    SecurityStatus ncrypt_free_object(KeyHandle key) override {
        std::string line = "NCryptFreeObject key=" + std::to_string(key);
        if (cng_key(key) == nullptr)
            return status(line, kNteInvalidHandle);
        keys_.erase(key);
        return status(line, 0);
    }

    bool crypt_set_prov_param(KeyHandle provider, Dword param, const std::uint8_t* data,
                              Dword flags) override {
        const std::size_t bytes =
            data != nullptr ? std::strlen(reinterpret_cast<const char*>(data)) + 1 : 0;
        std::string line = "CryptSetProvParam provider=" + std::to_string(provider) +
                           " param=" + hex32(param) + " bytes=" + std::to_string(bytes) +
                           " flags=" + std::to_string(flags);
        Key* k = capi_key(provider);
        if (k == nullptr)
            return bool_status(line, kNteInvalidHandle);
        if (auto code = scripted(k->context, cert_of(k->context), "CryptSetProvParam")) {
            return bool_status(line, *code);
        }
        if (param != kPpSignaturePin || data == nullptr) {
            return bool_status(line, kNteInvalidParameter);
        }
        const bool right = !k->key->pin || *k->key->pin == reinterpret_cast<const char*>(data);
        if (!right)
            return bool_status(line, kScardWWrongChv);
        k->pin_presented = true;
        return bool_status(line, 0);
    }

    bool crypt_create_hash(KeyHandle provider, Dword algorithm, std::uintptr_t key, Dword flags,
                           HashHandle* hash) override {
        std::string line = "CryptCreateHash provider=" + std::to_string(provider) +
                           " alg=" + hex32(algorithm) + " key=" + std::to_string(key) +
                           " flags=" + std::to_string(flags);
        Key* k = capi_key(provider);
        if (k == nullptr || hash == nullptr)
            return bool_status(line, kNteInvalidHandle);
        if (auto code = scripted(k->context, cert_of(k->context), "CryptCreateHash")) {
            return bool_status(line, *code);
        }
        const EVP_MD* md = md_for_calg(algorithm);
        if (md == nullptr || key != 0 || flags != 0)
            return bool_status(line, kNteBadAlgid);
        const HashHandle handle = next_handle_++;
        Hash h;
        h.provider = provider;
        h.md = md;
        hashes_[handle] = std::move(h);
        *hash = handle;
        line += " -> hash " + std::to_string(handle);
        return bool_status(line, 0);
    }

    bool crypt_set_hash_param(HashHandle hash, Dword param, const std::uint8_t* data,
                              Dword flags) override {
        std::string line = "CryptSetHashParam hash=" + std::to_string(hash) +
                           " param=" + std::to_string(param) + " flags=" + std::to_string(flags);
        auto it = hashes_.find(hash);
        if (it == hashes_.end() || capi_key(it->second.provider) == nullptr) {
            return bool_status(line, kNteInvalidHandle);
        }
        Key& k = *capi_key(it->second.provider);
        if (auto code = scripted(k.context, cert_of(k.context), "CryptSetHashParam")) {
            return bool_status(line, *code);
        }
        if (param != kHpHashval || data == nullptr)
            return bool_status(line, kNteInvalidParameter);
        // The length comes from the algorithm, as on the platform.
        it->second.value.assign(data, data + EVP_MD_get_size(it->second.md));
        return bool_status(line, 0);
    }

    bool crypt_sign_hash(HashHandle hash, Dword key_spec, const char16_t* description, Dword flags,
                         std::uint8_t* signature, Dword* signature_size) override {
        std::string line =
            "CryptSignHashW hash=" + std::to_string(hash) +
            " key_spec=" + std::to_string(key_spec) +
            (description == nullptr ? " description=null" : " description=set") +
            " flags=" + std::to_string(flags) + " out=" +
            (signature == nullptr || signature_size == nullptr ? std::string("null")
                                                               : std::to_string(*signature_size));
        auto it = hashes_.find(hash);
        if (it == hashes_.end() || capi_key(it->second.provider) == nullptr ||
            signature_size == nullptr) {
            return bool_status(line, kNteInvalidHandle);
        }
        Key& k = *capi_key(it->second.provider);
        if (auto code = scripted(k.context, cert_of(k.context), "CryptSignHashW")) {
            return bool_status(line, *code);
        }
        EVP_PKEY* pkey = k.key->pkey.get();
        if (key_spec != k.key->key_spec)
            return bool_status(line, kNteNoKey);
        if (!is_rsa(pkey))
            return bool_status(line, kNteBadAlgid);
        if (it->second.value.empty())
            return bool_status(line, kNteBadHash);
        const auto width = static_cast<Dword>(signature_width(pkey));
        if (signature == nullptr) {
            *signature_size = width;
            return bool_status(line, 0);
        }
        if (*signature_size < width) {
            *signature_size = width;
            return bool_status(line, kErrorMoreData);
        }
        if (k.key->pin && !k.pin_presented)
            return bool_status(line, kErrorCancelled);
        auto sig = platform_sign(pkey, it->second.md, it->second.value);
        if (!sig)
            return bool_status(line, kNteBadHash);
        // CryptoAPI providers write the signature little-endian.
        std::reverse_copy(sig->begin(), sig->end(), signature);
        *signature_size = static_cast<Dword>(sig->size());
        return bool_status(line, 0);
    }

    bool crypt_destroy_hash(HashHandle hash) override {
        std::string line = "CryptDestroyHash hash=" + std::to_string(hash);
        if (hashes_.erase(hash) == 0)
            return bool_status(line, kNteInvalidHandle);
        return bool_status(line, 0);
    }

    bool crypt_release_context(KeyHandle provider, Dword flags) override {
        std::string line = "CryptReleaseContext provider=" + std::to_string(provider) +
                           " flags=" + std::to_string(flags);
        if (capi_key(provider) == nullptr)
            return bool_status(line, kNteInvalidHandle);
        keys_.erase(provider);
        return bool_status(line, 0);
    }

  private:
    struct Context {
        std::shared_ptr<const EmulatedStoreData> data;
        std::size_t index = 0;
        // Calls made so far per name on this certificate, for errors
        // scripted on the n-th call.
        std::shared_ptr<std::map<std::string, int>> counters;
    };
    struct Key {
        std::shared_ptr<const EmulatedKey> key;
        Context context;
        bool pin_presented = false;
    };
    struct Hash {
        KeyHandle provider = 0;
        const EVP_MD* md = nullptr;
        core::Bytes value;
    };

    static const EmulatedCertificate& cert_of(const Context& context) {
        return context.data->certificates[context.index];
    }

    // "Name#n" fails the n-th call of that name on one certificate (counted
    // over the life of this backend, across openings of the store); "Name"
    // fails every call.
    static std::optional<Dword> scripted(const Context& context, const EmulatedCertificate& cert,
                                         const std::string& name) {
        const int count = ++(*context.counters)[name];
        if (auto it = cert.errors.find(name + "#" + std::to_string(count));
            it != cert.errors.end()) {
            return it->second;
        }
        if (auto it = cert.errors.find(name); it != cert.errors.end())
            return it->second;
        return std::nullopt;
    }

    Key* cng_key(KeyHandle key) {
        auto it = keys_.find(key);
        return it != keys_.end() && it->second.key->cng ? &it->second : nullptr;
    }
    Key* capi_key(KeyHandle key) {
        auto it = keys_.find(key);
        return it != keys_.end() && !it->second.key->cng ? &it->second : nullptr;
    }

    bool fail(Dword code) {
        last_error_ = code;
        return false;
    }
    std::uintptr_t fail_handle(Dword code) {
        last_error_ = code;
        return 0;
    }
    SecurityStatus status(const std::string& line, Dword code) {
        log(line + (code == 0 ? " -> ok" : " -> " + hex32(code)));
        return static_cast<SecurityStatus>(code);
    }
    bool bool_status(const std::string& line, Dword code) {
        log(line + (code == 0 ? " -> ok" : " -> " + hex32(code)));
        if (code == 0)
            return true;
        last_error_ = code;
        return false;
    }

    void log(const std::string& line) {
        if (log_path_.empty())
            return;
        if (FILE* f = std::fopen(log_path_.c_str(), "a")) {
            std::fprintf(f, "%s\n", line.c_str());
            std::fclose(f);
        }
    }

    std::shared_ptr<const EmulatedStoreData> fixed_;
    Dword last_error_ = 0;
    std::uintptr_t next_handle_ = 1;
    std::string log_path_;
    std::map<StoreHandle, std::shared_ptr<const EmulatedStoreData>> stores_;
    std::map<CertContext, Context> contexts_;
    std::map<KeyHandle, Key> keys_;
    std::map<HashHandle, Hash> hashes_;
    // By position in the store.
    std::map<std::size_t, std::shared_ptr<std::map<std::string, int>>> counters_;
};

}  // namespace

std::expected<std::shared_ptr<const EmulatedStoreData>, std::string> load_emulated_store(
    const std::string& path) {
    auto data = parse_store(path);
    if (!data)
        return std::unexpected(std::move(data.error()));
    return std::make_shared<const EmulatedStoreData>(std::move(*data));
}

std::shared_ptr<StoreApi> emulated_store_api() {
    return std::make_shared<EmulatedStoreApi>();
}

std::shared_ptr<StoreApi> emulated_store_api(std::shared_ptr<const EmulatedStoreData> data) {
    return std::make_shared<EmulatedStoreApi>(std::move(data));
}

OsStore emulated_os_store() {
    return {"windows", std::make_unique<WindowsStoreSource>(emulated_store_api())};
}

}  // namespace tolvex::os_store
