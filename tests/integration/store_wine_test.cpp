// The Windows agent under Wine with the real store backend. It seeds the MY
// store of the Wine prefix, so it runs only in a prefix of its own: the one
// that tests/os_store/wine_store_test.sh creates and names in
// TOLVEX_WINE_STORE_PREFIX. Elsewhere every test skips.
//
// The tests run in order: the first needs the fresh prefix without MY.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "driver.hpp"
#include "test_certs.hpp"

namespace tolvex::testing {
namespace {

using nlohmann::json;

const char* private_prefix() {
    const char* prefix = std::getenv("TOLVEX_WINE_STORE_PREFIX");
    return prefix != nullptr && *prefix != 0 ? prefix : nullptr;
}

std::string windows_path(const std::string& path) {
    std::string out = "Z:" + path;
    for (char& c : out) {
        if (c == '/')
            c = '\\';
    }
    return out;
}

class WineStore : public ::testing::Test {
  protected:
    void SetUp() override {
        if (private_prefix() == nullptr || !agent_is_windows()) {
            GTEST_SKIP() << "needs the Windows agent in a private Wine prefix "
                            "(tests/os_store/wine_store_test.sh)";
        }
        const char* bin = std::getenv("TOLVEX_WINDOWS_BIN");
        ASSERT_NE(bin, nullptr) << "TOLVEX_WINDOWS_BIN names the Windows binaries";
        seed_ = std::string("wine ") + bin + "/tolvex_store_seed.exe";
    }

    json request(const json& body) {
        const AgentRun run = run_requests({body.dump()});
        EXPECT_EQ(run.exit_status, 0) << run.stderr_text;
        if (run.responses.size() != 1) {
            ADD_FAILURE() << "no response; stderr: " << run.stderr_text;
            return json::object();
        }
        return json::parse(run.responses[0]);
    }

    // Adds `cert` to MY; with a key when key_spec is 1 or 2.
    void seed(const TestCertificate& cert, const std::string& name, int key_spec) {
        dir_.write(name + ".der", std::string(cert.der.begin(), cert.der.end()));
        std::string command = seed_ + " '" + windows_path(dir_.file(name + ".der")) + "'";
        if (key_spec != 0) {
            dir_.write(name + ".pem", cert.key_pem);
            ASSERT_EQ(
                std::system(("openssl rsa -in " + dir_.file(name + ".pem") +
                             " -outform MSBLOB -out " + dir_.file(name + ".blob") + " 2>/dev/null")
                                .c_str()),
                0);
            command += " '" + windows_path(dir_.file(name + ".blob")) + "' tolvex-test-" + name +
                       " " + std::to_string(key_spec);
        }
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    std::string seed_;
    TempDir dir_;
};

TEST_F(WineStore, FreshPrefixWithoutMyIsAWarning) {
    const json response = request({{"id", "1"}, {"command", "list_certificates"}});
    EXPECT_EQ(response["result"],
              json::parse(R"J({"certificates":[],"warnings":[)J"
                          R"J({"source":"MY","message":"CertOpenStore falhou (erro 2)"}]})J"))
        << response.dump();
}

TEST_F(WineStore, ListsAndSignsWithLegacyProviderKeys) {
    ASSERT_EQ(std::system("wine reg add 'HKCU\\Software\\Microsoft\\SystemCertificates\\MY' /f "
                          ">/dev/null 2>&1"),
              0);
    const TestCertificate exchange = make_test_certificate("Wine Troca");
    const TestCertificate signature = make_test_certificate("Wine Assinatura");
    const TestCertificate keyless = make_test_certificate("Wine Sem Chave");
    seed(exchange, "exchange", 1);
    seed(signature, "signature", 2);
    seed(keyless, "keyless", 0);

    const json listing = request({{"id", "1"}, {"command", "list_certificates"}});
    ASSERT_TRUE(listing.value("ok", false)) << listing.dump();
    const json& certs = listing["result"]["certificates"];
    ASSERT_EQ(certs.size(), 2u) << listing.dump();
    for (const auto& cert : certs) {
        EXPECT_EQ(cert["sources"], json::parse(R"([{"kind":"os","label":"MY","requires_pin":false,)"
                                               R"("key_storage":"file","provider":)"
                                               R"("Microsoft Enhanced RSA and AES Cryptographic )"
                                               R"(Provider"}])"));
    }
    EXPECT_EQ(listing["result"]["warnings"], json::array());

    for (const TestCertificate* cert : {&exchange, &signature}) {
        const std::string thumbprint = thumbprint_of(cert->der);
        for (const auto& [alg, name] :
             {std::pair{"SHA-256", "SHA256"}, std::pair{"SHA-384", "SHA384"},
              std::pair{"SHA-512", "SHA512"}}) {
            const auto digest = sha_digest(name, std::string("wine ") + alg);
            const json response = request({{"id", "s"},
                                           {"command", "sign"},
                                           {"thumbprint", thumbprint},
                                           {"hash", b64(digest)},
                                           {"digest_algorithm", alg}});
            ASSERT_TRUE(response.value("ok", false)) << alg << ": " << response.dump();
            EXPECT_EQ(response["result"]["signature_algorithm"], "rsa-pkcs1-v1_5");
            EXPECT_TRUE(verify_digest_signature(
                cert->der, name, digest, unb64(response["result"]["signature"].get<std::string>())))
                << alg;
        }
    }

    // Wine's providers refuse PP_SIGNATURE_PIN without setting an error code.
    const json with_pin = request({{"id", "p"},
                                   {"command", "sign"},
                                   {"thumbprint", thumbprint_of(signature.der)},
                                   {"hash", b64(sha_digest("SHA256", "x"))},
                                   {"pin", "1234"}});
    EXPECT_EQ(with_pin["error"]["message"], "falha ao assinar: erro do Windows 0x00000000")
        << with_pin.dump();

    // Listed nowhere: the store does not show certificates without a key.
    const json keyless_sign = request({{"id", "k"},
                                       {"command", "sign"},
                                       {"thumbprint", thumbprint_of(keyless.der)},
                                       {"hash", b64(sha_digest("SHA256", "x"))}});
    EXPECT_EQ(keyless_sign["error"]["code"], "certificate_not_found") << keyless_sign.dump();
}

}  // namespace
}  // namespace tolvex::testing
