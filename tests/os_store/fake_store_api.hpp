#pragma once

// A recording stand-in for the platform behind the store seam: an in-memory
// store, every call logged with its arguments, scripted failures, and counts
// of the handles still held so tests can see every release.

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "key_prov_info.hpp"

namespace tolvex::testing {

using os_store::CertContext;
using os_store::Dword;
using os_store::HashHandle;
using os_store::KeyHandle;
using os_store::SecurityStatus;
using os_store::StoreHandle;

struct FakeCertificate {
    std::vector<std::uint8_t> der;
    bool has_property = true;  // kCertKeyProvInfoPropId present
    os_store::KeyProvInfoValue property{.container = u"c", .provider = u"Fake Provider"};
    bool second_size_query_fails = false;
    bool report_zero_size = false;
    bool read_fails = false;
    Dword key_spec = os_store::kCertNcryptKeySpec;
    bool caller_free = true;
    Dword acquire_error = 0;  // non-zero: CryptAcquireCertificatePrivateKey fails
};

struct FakeCall {
    std::string name;
    std::vector<std::uintptr_t> args;  // numeric arguments in call order
    std::u16string text;               // a UTF-16 argument, when the call has one
    std::vector<std::uint8_t> bytes;   // a byte buffer argument
};

class FakeStoreApi final : public os_store::StoreApi {
  public:
    std::vector<FakeCertificate> certificates;
    Dword open_error = 0;
    // Statuses returned by the n-th call (1-based) of a name; 0 = success.
    std::map<std::string, std::map<int, Dword>> scripted;
    std::vector<std::uint8_t> cng_signature{0xC1, 0xC2, 0xC3, 0xC4};
    std::optional<Dword> cng_second_size;  // size the second NCryptSignHash reports
    std::vector<std::uint8_t> capi_signature{0x01, 0x02, 0x03};

    std::vector<FakeCall> calls;
    int open_stores = 0;
    int live_contexts = 0;
    int max_live_contexts = 0;
    int live_keys = 0;
    int live_hashes = 0;

    int count(const std::string& name) const {
        return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                              [&](const FakeCall& c) { return c.name == name; }));
    }
    std::vector<const FakeCall*> all(const std::string& name) const {
        std::vector<const FakeCall*> out;
        for (const auto& c : calls) {
            if (c.name == name)
                out.push_back(&c);
        }
        return out;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& c : calls)
            out.push_back(c.name);
        return out;
    }

    Dword get_last_error() override { return last_error_; }

    StoreHandle cert_open_store(Dword provider, Dword encoding, std::uintptr_t prov, Dword flags,
                                const char16_t* parameter) override {
        FakeCall call{"CertOpenStore", {provider, encoding, prov, flags}, {}, {}};
        // The name with its terminating NUL, as the platform reads it.
        for (const char16_t* p = parameter;; ++p) {
            call.text.push_back(*p);
            if (*p == 0)
                break;
        }
        calls.push_back(std::move(call));
        if (Dword e = script("CertOpenStore"); e != 0 || open_error != 0) {
            last_error_ = e != 0 ? e : open_error;
            return 0;
        }
        ++open_stores;
        return 0x5700;
    }
    bool cert_close_store(StoreHandle store, Dword flags) override {
        calls.push_back({"CertCloseStore", {store, flags}, {}, {}});
        --open_stores;
        return true;
    }
    CertContext cert_enum_certificates_in_store(StoreHandle store, CertContext previous) override {
        calls.push_back({"CertEnumCertificatesInStore", {store, previous}, {}, {}});
        std::size_t index = 0;
        if (previous != 0) {
            index = previous - CONTEXT_BASE + 1;
            --live_contexts;
        }
        if (index >= certificates.size()) {
            last_error_ = os_store::kCryptENotFound;
            return 0;
        }
        ++live_contexts;
        max_live_contexts = std::max(max_live_contexts, live_contexts);
        return CONTEXT_BASE + index;
    }
    bool cert_free_certificate_context(CertContext context) override {
        calls.push_back({"CertFreeCertificateContext", {context}, {}, {}});
        if (context != 0)
            --live_contexts;
        return true;
    }
    std::span<const std::uint8_t> cert_encoded(CertContext context) override {
        return at(context).der;
    }
    bool cert_get_certificate_context_property(CertContext context, Dword prop_id, void* data,
                                               Dword* size) override {
        FakeCertificate& cert = at(context);
        calls.push_back({"CertGetCertificateContextProperty",
                         {context, prop_id, data == nullptr ? 0u : 1u},
                         {},
                         {}});
        const int nth = ++property_queries_[context];
        if (prop_id != os_store::kCertKeyProvInfoPropId || !cert.has_property) {
            last_error_ = os_store::kCryptENotFound;
            return false;
        }
        const Dword needed = os_store::key_prov_info_size(cert.property);
        if (data == nullptr) {
            if (nth == 2 && cert.second_size_query_fails) {
                last_error_ = os_store::kErrorInvalidData;
                return false;
            }
            *size = cert.report_zero_size ? 0 : needed;
            return true;
        }
        if (cert.read_fails || *size < needed) {
            last_error_ = os_store::kErrorMoreData;
            return false;
        }
        os_store::write_key_prov_info(cert.property, data);
        *size = needed;
        return true;
    }
    bool crypt_acquire_certificate_private_key(CertContext context, Dword flags, void* parameters,
                                               KeyHandle* key, Dword* key_spec,
                                               bool* caller_free) override {
        FakeCertificate& cert = at(context);
        calls.push_back({"CryptAcquireCertificatePrivateKey",
                         {context, flags, reinterpret_cast<std::uintptr_t>(parameters)},
                         {},
                         {}});
        if (cert.acquire_error != 0) {
            last_error_ = cert.acquire_error;
            return false;
        }
        *key = 0x6000 + context;
        *key_spec = cert.key_spec;
        *caller_free = cert.caller_free;
        ++live_keys;
        return true;
    }
    SecurityStatus ncrypt_set_property(KeyHandle key, const char16_t* property,
                                       const std::uint8_t* data, Dword size, Dword flags) override {
        calls.push_back({"NCryptSetProperty",
                         {key, size, flags},
                         std::u16string(property),
                         std::vector<std::uint8_t>(data, data + size)});
        return static_cast<SecurityStatus>(script("NCryptSetProperty"));
    }
    SecurityStatus ncrypt_sign_hash(KeyHandle key, const void* padding_info,
                                    const std::uint8_t* hash, Dword hash_size,
                                    std::uint8_t* signature, Dword signature_size,
                                    Dword* result_size, Dword flags) override {
        FakeCall call{"NCryptSignHash",
                      {key, padding_info == nullptr ? 0u : 1u, hash_size,
                       signature == nullptr ? 0u : 1u, signature_size, flags},
                      {},
                      std::vector<std::uint8_t>(hash, hash + hash_size)};
        if (padding_info != nullptr) {
            call.text = static_cast<const os_store::Pkcs1PaddingInfo*>(padding_info)->algorithm_id;
        }
        calls.push_back(std::move(call));
        if (Dword e = script("NCryptSignHash"); e != 0)
            return static_cast<SecurityStatus>(e);
        const auto full = static_cast<Dword>(cng_signature.size());
        if (signature == nullptr) {
            *result_size = full;
            return 0;
        }
        const Dword n = std::min(signature_size, cng_second_size.value_or(full));
        std::memcpy(signature, cng_signature.data(), std::min<Dword>(n, full));
        *result_size = n;
        return 0;
    }
    SecurityStatus ncrypt_free_object(KeyHandle key) override {
        calls.push_back({"NCryptFreeObject", {key}, {}, {}});
        --live_keys;
        return 0;
    }
    bool crypt_set_prov_param(KeyHandle provider, Dword param, const std::uint8_t* data,
                              Dword flags) override {
        const std::size_t n = std::strlen(reinterpret_cast<const char*>(data)) + 1;
        calls.push_back({"CryptSetProvParam", {provider, param, flags}, {}, {data, data + n}});
        return succeed("CryptSetProvParam");
    }
    bool crypt_create_hash(KeyHandle provider, Dword algorithm, std::uintptr_t key, Dword flags,
                           HashHandle* hash) override {
        calls.push_back({"CryptCreateHash", {provider, algorithm, key, flags}, {}, {}});
        if (!succeed("CryptCreateHash"))
            return false;
        *hash = 0x7000;
        hash_algorithm_ = algorithm;
        ++live_hashes;
        return true;
    }
    bool crypt_set_hash_param(HashHandle hash, Dword param, const std::uint8_t* data,
                              Dword flags) override {
        // Like the platform, reads as many bytes as the hash algorithm makes.
        const std::size_t n = 32 + 16 * (hash_algorithm_ - os_store::kCalgSha256);
        calls.push_back({"CryptSetHashParam", {hash, param, flags}, {}, {data, data + n}});
        return succeed("CryptSetHashParam");
    }
    bool crypt_sign_hash(HashHandle hash, Dword key_spec, const char16_t* description, Dword flags,
                         std::uint8_t* signature, Dword* signature_size) override {
        calls.push_back({"CryptSignHashW",
                         {hash, key_spec, reinterpret_cast<std::uintptr_t>(description), flags,
                          signature == nullptr ? 0u : 1u},
                         {},
                         {}});
        if (!succeed("CryptSignHashW"))
            return false;
        if (signature != nullptr) {
            std::memcpy(signature, capi_signature.data(), capi_signature.size());
        }
        *signature_size = static_cast<Dword>(capi_signature.size());
        return true;
    }
    bool crypt_destroy_hash(HashHandle hash) override {
        calls.push_back({"CryptDestroyHash", {hash}, {}, {}});
        --live_hashes;
        return true;
    }
    bool crypt_release_context(KeyHandle provider, Dword flags) override {
        calls.push_back({"CryptReleaseContext", {provider, flags}, {}, {}});
        --live_keys;
        return true;
    }

  private:
    static constexpr CertContext CONTEXT_BASE = 0x100;

    FakeCertificate& at(CertContext context) { return certificates.at(context - CONTEXT_BASE); }

    Dword script(const std::string& name) {
        const int nth = ++seen_[name];
        auto it = scripted.find(name);
        if (it == scripted.end())
            return 0;
        if (auto n = it->second.find(nth); n != it->second.end())
            return n->second;
        if (auto every = it->second.find(0); every != it->second.end())
            return every->second;
        return 0;
    }
    bool succeed(const std::string& name) {
        if (Dword e = script(name); e != 0) {
            last_error_ = e;
            return false;
        }
        return true;
    }

    Dword last_error_ = 0;
    Dword hash_algorithm_ = os_store::kCalgSha256;
    std::map<std::string, int> seen_;
    std::map<CertContext, int> property_queries_;
};

}  // namespace tolvex::testing
