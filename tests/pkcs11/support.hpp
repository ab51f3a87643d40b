#pragma once

// Helpers for the tests that drive the test token module: keys and
// certificates made with OpenSSL, the module's JSON configuration, its call
// log, and signature checks.

#include <openssl/evp.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_support.hpp"
#include "tolvex/core/digest.hpp"
#include "tolvex/core/types.hpp"

namespace tolvex::test {

using Json = nlohmann::json;

// The test token module variants of this build (paths given by CMake).
std::filesystem::path token_module();       // C_GetInterface and C_GetFunctionList
std::filesystem::path token_module_v2();    // only C_GetFunctionList
std::filesystem::path token_module_bare();  // neither

struct KeyDeleter {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

// A private key with a self-signed certificate, both also written to files.
struct TestKey {
    std::shared_ptr<EVP_PKEY> key;
    core::Bytes cert_der;
    std::string key_file;   // PEM
    std::string cert_file;  // DER
};

enum class KeyKind { Rsa2048, EcP256 };
// Made once per process, kind and name, on first use.
const TestKey& test_key(KeyKind kind, const std::string& common_name = "Teste");

// PKCS#1 v1.5 (RSA) or r || s (EC) signature over the digest.
bool verify(const TestKey& key, core::DigestAlgorithm alg, const core::Bytes& digest,
            const core::Bytes& signature);

void write_file(const std::filesystem::path& path, const std::string& content);
std::vector<std::string> read_lines(const std::filesystem::path& path);

// Lines of the call log that begin with the function name followed by a
// blank.
std::vector<std::string> calls(const std::vector<std::string>& log, const std::string& function);

}  // namespace tolvex::test
