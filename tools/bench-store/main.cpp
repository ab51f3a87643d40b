// Benchmark: WindowsStoreSource::list_certificates over an emulated store of
// 1,000 keyed certificates, per certificate, against what OpenSSL itself
// needs to parse (d2i_X509) and hash (SHA-256) the same DER bytes.
//
//   bench_store [CERTIFICATES] [ROUNDS]
//
// Three listing figures are printed: the store source on the agent's path,
// which reads the store's JSON description and every DER file at each opening
// (as the real store is read afresh by every request); the store source alone
// over a store already loaded in memory; and the whole list_certificates
// command over that in-memory store (thumbprints, summaries, merge, sort and
// the JSON response), which is what a browser waits for.

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "emulated_store.hpp"
#include "handler.hpp"
#include "tolvex/os_store/store_source.hpp"
#include "tolvex/pkcs11/certsource.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

template <class T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const { F(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;

std::vector<unsigned char> make_certificate(EVP_PKEY* key, int serial) {
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 365);
    X509_NAME* name = X509_get_subject_name(cert.get());
    const std::string cn = "Titular de Teste " + std::to_string(serial) + ":12345678901";
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("BR"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("ICP-Brasil"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key);
    X509_sign(cert.get(), key, EVP_sha256());
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert.get(), &der);
    std::vector<unsigned char> out(der, der + length);
    OPENSSL_free(der);
    return out;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
    if (count <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_store [CERTIFICATES] [ROUNDS]\n");
        return 2;
    }

    const fs::path dir =
        fs::temp_directory_path() / ("tolvex-bench-store-" + std::to_string(getpid()));
    fs::create_directories(dir);
    Pkey key(EVP_RSA_gen(2048));
    std::vector<std::vector<unsigned char>> ders;
    std::string json = "{\"certificates\":[";
    for (int i = 0; i < count; ++i) {
        ders.push_back(make_certificate(key.get(), i + 1));
        const std::string file = "c" + std::to_string(i) + ".der";
        std::ofstream(dir / file, std::ios::binary)
            .write(reinterpret_cast<const char*>(ders.back().data()),
                   static_cast<std::streamsize>(ders.back().size()));
        json += (i ? "," : "");
        json += "{\"der\":\"" + file +
                "\",\"key_provider\":{\"provider\":\"Microsoft Software Key Storage "
                "Provider\",\"container\":\"c" +
                std::to_string(i) + "\"}}";
    }
    json += "]}";
    std::ofstream(dir / "store.json") << json;
    const std::string store_path = (dir / "store.json").string();
    setenv(tolvex::os_store::EMULATED_STORE_VARIABLE, store_path.c_str(), 1);

    // The agent's path: description and files read at every opening.
    const tolvex::os_store::WindowsStoreSource agent_source(tolvex::os_store::emulated_store_api());
    std::size_t listed = 0;
    auto start = Clock::now();
    for (int r = 0; r < rounds; ++r)
        listed += agent_source.open()->list_certificates().certificates.size();
    const double agent_seconds = seconds_since(start);

    // The store source alone, over a store loaded once.
    auto loaded = tolvex::os_store::load_emulated_store(store_path);
    if (!loaded) {
        std::fprintf(stderr, "bench_store: %s\n", loaded.error().c_str());
        return 1;
    }
    const tolvex::os_store::WindowsStoreSource memory_source(
        tolvex::os_store::emulated_store_api(*loaded));
    start = Clock::now();
    for (int r = 0; r < rounds; ++r)
        listed += memory_source.open()->list_certificates().certificates.size();
    const double memory_seconds = seconds_since(start);

    // The command, as the handler answers it, over the in-memory store and no
    // PKCS#11 modules. Its one "ok" line per request is not what is measured.
    spdlog::set_level(spdlog::level::warn);
    tolvex::agent::HandlerContext context;
    context.sources.push_back(std::make_unique<tolvex::os_store::WindowsStoreSource>(
        tolvex::os_store::emulated_store_api(*loaded)));
    context.sources.push_back(
        std::make_unique<tolvex::pkcs11::Pkcs11Source>(std::vector<fs::path>{}));
    const std::string request = R"({"id":"b","command":"list_certificates"})";
    std::size_t answered = 0;
    std::size_t response_bytes = 0;
    start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        const std::string response = tolvex::agent::handle_message(context, request);
        answered += response.starts_with(R"({"id":"b","ok":true,)");
        response_bytes = response.size();
    }
    const double command_seconds = seconds_since(start);

    // OpenSSL's own parse and SHA-256 of the same bytes.
    std::size_t parsed = 0;
    start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (const auto& der : ders) {
            const unsigned char* p = der.data();
            Cert cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
            unsigned char digest[SHA256_DIGEST_LENGTH];
            unsigned int length = 0;
            EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha256(), nullptr);
            parsed += cert != nullptr && length == SHA256_DIGEST_LENGTH;
        }
    }
    const double openssl_seconds = seconds_since(start);
    fs::remove_all(dir);

    const double per = 1e6 / (static_cast<double>(count) * rounds);
    const double agent_us = agent_seconds * per;
    const double memory_us = memory_seconds * per;
    const double command_us = command_seconds * per;
    const double openssl_us = openssl_seconds * per;
    if (listed != static_cast<std::size_t>(2 * count * rounds) ||
        parsed != static_cast<std::size_t>(count * rounds) ||
        answered != static_cast<std::size_t>(rounds)) {
        std::fprintf(stderr, "bench_store: listed %zu, parsed %zu, answered %zu\n", listed, parsed,
                     answered);
        return 1;
    }
    std::printf("store listing, %d certificates x %d rounds\n", count, rounds);
    std::printf("  list_certificates, emulated store read from files: %8.2f us/cert\n", agent_us);
    std::printf("  list_certificates, emulated store in memory:       %8.2f us/cert\n", memory_us);
    std::printf("  list_certificates command (summaries, sort, JSON):  %8.2f us/cert\n",
                command_us);
    std::printf("  OpenSSL d2i_X509 + SHA-256 of the same DER:        %8.2f us/cert\n", openssl_us);
    // Against the 1 MiB frame limit: how many certificates one answer holds.
    std::printf("  list_certificates response: %zu bytes, %.0f bytes/cert\n", response_bytes,
                static_cast<double>(response_bytes) / count);
    std::printf("  ratio files / OpenSSL:  %.2f\n", agent_us / openssl_us);
    std::printf("  ratio memory / OpenSSL: %.2f\n", memory_us / openssl_us);
    std::printf("  ratio command / OpenSSL: %.2f\n", command_us / openssl_us);
    return 0;
}
