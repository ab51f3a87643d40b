// The test build of the agent with the emulated Windows store
// (TOLVEX_EMULATED_STORE), alone and together with a SoftHSM token holding
// the same certificate; and the product agent, which has neither a store on
// Linux nor the emulator.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "driver.hpp"
#include "test_certs.hpp"

namespace tolvex::testing {
namespace {

using nlohmann::json;

constexpr const char* SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char* TOKEN_PIN = "0000";

std::string thumbprint(const TestCertificate& cert) {
    return thumbprint_of(cert.der);
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

class StoreAgent : public ::testing::Test {
  protected:
    void SetUp() override {
        if (agent_is_windows())
            GTEST_SKIP() << "the emulated store exists in the Linux test build of the agent only";
        // No token unless a test adds one: the system's default modules are
        // not this suite's business.
        options.env["TOLVEX_PKCS11_MODULES"] = "";
    }

    // A store entry for `cert`, its files written to the temporary folder.
    json store_entry(const std::string& name, const TestCertificate& cert,
                     const std::string& provider, json key = json::object()) {
        dir.write(name + ".der", std::string(cert.der.begin(), cert.der.end()));
        dir.write(name + ".pem", cert.key_pem);
        json entry{{"der", name + ".der"}, {"key_provider", {{"provider", provider}}}};
        if (!key.is_null()) {
            key["pem"] = name + ".pem";
            entry["key"] = key;
        }
        return entry;
    }

    void use_store(json certificates, json extra = json::object()) {
        extra["certificates"] = std::move(certificates);
        extra["call_log"] = dir.file("calls.log");
        dir.write("store.json", extra.dump());
        options.env["TOLVEX_EMULATED_STORE"] = dir.file("store.json");
    }

    // A fresh SoftHSM token labelled "Token A" holding `cert` and its key.
    void use_token(const TestCertificate& cert) {
        if (!std::filesystem::exists(SOFTHSM_MODULE))
            GTEST_SKIP() << "SoftHSM not installed";
        std::filesystem::create_directories(dir.file("tokens"));
        dir.write("softhsm2.conf", "directories.tokendir = " + dir.file("tokens") +
                                       "\nobjectstore.backend = file\nlog.level = ERROR\n");
        dir.write("token.der", std::string(cert.der.begin(), cert.der.end()));
        dir.write("token-key.pem", cert.key_pem);
        const std::string env = "SOFTHSM2_CONF=" + dir.file("softhsm2.conf") + " ";
        const std::string tool = env + "pkcs11-tool --module " + SOFTHSM_MODULE +
                                 " --token-label 'Token A' --login --pin " + TOKEN_PIN;
        ASSERT_EQ(std::system((env +
                               "softhsm2-util --init-token --free --label 'Token A' "
                               "--so-pin 12345678 --pin " +
                               TOKEN_PIN + " >/dev/null")
                                  .c_str()),
                  0);
        ASSERT_EQ(std::system((tool + " --write-object " + dir.file("token-key.pem") +
                               " --type privkey --id 01 --label key >/dev/null 2>&1")
                                  .c_str()),
                  0);
        ASSERT_EQ(std::system((tool + " --write-object " + dir.file("token.der") +
                               " --type cert --id 01 --label cert >/dev/null 2>&1")
                                  .c_str()),
                  0);
        options.env["SOFTHSM2_CONF"] = dir.file("softhsm2.conf");
        options.env["TOLVEX_PKCS11_MODULES"] = SOFTHSM_MODULE;
    }

    json request(const json& body) {
        const AgentRun run = run_requests({body.dump()}, options);
        EXPECT_EQ(run.exit_status, 0) << run.stderr_text;
        if (run.responses.size() != 1) {
            ADD_FAILURE() << "no response; stderr: " << run.stderr_text;
            return json::object();
        }
        return json::parse(run.responses[0]);
    }

    json sign(const TestCertificate& cert, const std::vector<std::uint8_t>& digest,
              std::optional<std::string> pin) {
        json body{{"id", "s"},
                  {"command", "sign"},
                  {"thumbprint", thumbprint(cert)},
                  {"hash", b64(digest)},
                  {"digest_algorithm", "SHA-256"}};
        if (pin)
            body["pin"] = *pin;
        return request(body);
    }

    std::string call_log() const {
        return std::filesystem::exists(dir.file("calls.log")) ? read_file(dir.file("calls.log"))
                                                              : std::string();
    }

    TempDir dir;
    AgentOptions options;
};

const TestCertificate& shared_cert() {
    static const TestCertificate c = make_test_certificate("Ana Compartilhada");
    return c;
}

TEST_F(StoreAgent, ListsTheEmulatedStore) {
    const TestCertificate ec = make_test_certificate("Bruno EC", TestKeyType::EcP256);
    const TestCertificate without_key = make_test_certificate("Sem Chave");
    json bare = store_entry("bare", without_key, "");
    bare.erase("key_provider");
    use_store({store_entry("ana", shared_cert(), "Example Smart Card Key Storage Provider"),
               store_entry("bruno", ec, "   "), bare});
    const json response = request({{"id", "1"}, {"command", "list_certificates"}});
    ASSERT_TRUE(response.value("ok", false)) << response.dump();
    const json& certs = response["result"]["certificates"];
    ASSERT_EQ(certs.size(), 2u) << response.dump();
    EXPECT_EQ(certs[0]["subject_cn"], "Ana Compartilhada");
    EXPECT_EQ(certs[0]["sources"],
              json::parse(R"([{"kind":"os","label":"MY","requires_pin":false,)"
                          R"("key_storage":"token",)"
                          R"("provider":"Example Smart Card Key Storage Provider"}])"));
    EXPECT_EQ(certs[1]["sources"], json::parse(R"([{"kind":"os","label":"MY","requires_pin":false,)"
                                               R"("key_storage":"unknown"}])"));
    EXPECT_EQ(response["result"]["warnings"], json::array());

    use_store(json::array(), {{"open_error", 5}});
    const json failed = request({{"id", "2"}, {"command", "list_certificates"}});
    EXPECT_EQ(failed["result"]["warnings"],
              json::parse(R"J([{"source":"MY","message":"CertOpenStore falhou (erro 5)"}])J"));
}

TEST_F(StoreAgent, SignsWithStoreKeysThroughBothProviderKinds) {
    const TestCertificate ec = make_test_certificate("Bruno EC", TestKeyType::EcP256);
    const TestCertificate legacy = make_test_certificate("Carla CAPI");
    use_store({store_entry("ec", ec, "Example Key Storage Provider", {{"api", "cng"}}),
               store_entry("legacy", legacy, "Example Enhanced RSA and AES Cryptographic Provider",
                           {{"api", "capi"}, {"key_spec", 1}, {"pin", "4321"}})});
    const auto digest = sha_digest("SHA256", "documento");

    json response = sign(ec, digest, std::nullopt);
    ASSERT_TRUE(response.value("ok", false)) << response.dump();
    EXPECT_EQ(response["result"]["signature_algorithm"], "ecdsa");
    EXPECT_TRUE(
        verify_digest_signature(ec.der, "SHA256", digest, unb64(response["result"]["signature"])));

    response = sign(legacy, digest, "4321");
    ASSERT_TRUE(response.value("ok", false)) << response.dump();
    EXPECT_TRUE(verify_digest_signature(legacy.der, "SHA256", digest,
                                        unb64(response["result"]["signature"])));
    const std::string log = call_log();
    EXPECT_EQ(count(log, "CryptSetProvParam"), 1);
    EXPECT_EQ(count(log, "CertOpenStore "), count(log, "CertCloseStore "));
    EXPECT_EQ(log.find("4321"), std::string::npos);
}

TEST_F(StoreAgent, SameCertificateInStoreAndTokenIsOneSummaryStoreFirst) {
    use_token(shared_cert());
    use_store({store_entry("ana", shared_cert(), "Example Software Key Storage Provider")});
    const json response = request({{"id", "1"}, {"command", "list_certificates"}});
    ASSERT_TRUE(response.value("ok", false)) << response.dump();
    const json& certs = response["result"]["certificates"];
    ASSERT_EQ(certs.size(), 1u) << response.dump();
    ASSERT_EQ(certs[0]["sources"].size(), 2u) << response.dump();
    EXPECT_EQ(certs[0]["sources"][0]["kind"], "os");
    EXPECT_EQ(certs[0]["sources"][0]["key_storage"], "file");
    EXPECT_EQ(certs[0]["sources"][1]["kind"], "pkcs11");
    EXPECT_EQ(certs[0]["sources"][1]["label"], "Token A");
}

TEST_F(StoreAgent, SignGoesToTheStoreFirstAndToTheTokenOnlyAfterKeyOrSignFailures) {
    use_token(shared_cert());
    const auto digest = sha_digest("SHA256", "contrato");
    struct Case {
        const char* name;
        json key;
        json errors;
        bool store_signs;
        int acquires;  // CryptAcquireCertificatePrivateKey calls
    };
    const std::vector<Case> cases{
        {"store key works", {{"api", "cng"}}, json::object(), true, 1},
        // The signing pass's look at the property fails: KeyNotFound.
        {"key not found", {{"api", "cng"}}, {{"CertGetCertificateContextProperty#4", 5}}, false, 0},
        // No key behind the property: the platform's NTE_BAD_KEYSET, SignFailed.
        {"sign failed", json(nullptr), json::object(), false, 1},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(dir.file("calls.log"));
        json entry =
            store_entry("ana", shared_cert(), "Example Software Key Storage Provider", c.key);
        if (!c.errors.empty())
            entry["errors"] = c.errors;
        use_store({entry});
        const json response = sign(shared_cert(), digest, TOKEN_PIN);
        ASSERT_TRUE(response.value("ok", false)) << c.name << ": " << response.dump();
        EXPECT_TRUE(verify_digest_signature(shared_cert().der, "SHA256", digest,
                                            unb64(response["result"]["signature"])))
            << c.name;
        const std::string log = call_log();
        EXPECT_EQ(count(log, "NCryptSignHash") == 2, c.store_signs) << c.name << "\n" << log;
        // Listed once, then the signing pass.
        EXPECT_EQ(count(log, "CertOpenStore "), 2) << c.name;
        EXPECT_EQ(count(log, "CryptAcquireCertificatePrivateKey"), c.acquires) << c.name;
    }
}

TEST_F(StoreAgent, StorePinErrorIsNotRetriedOnTheToken) {
    // The token would accept the request's PIN; it must not be asked.
    use_token(shared_cert());
    use_store({store_entry("ana", shared_cert(), "Example Smart Card Key Storage Provider",
                           {{"api", "cng"}, {"pin", "9876"}})});
    const json response = sign(shared_cert(), sha_digest("SHA256", "x"), TOKEN_PIN);
    ASSERT_FALSE(response.value("ok", true)) << response.dump();
    EXPECT_EQ(response["error"]["code"], "pin_incorrect");
}

TEST_F(StoreAgent, ProductAgentHasNoStoreAndNoEmulator) {
    // A store that the test build fails to open, with a warning.
    use_store(json::array(), {{"open_error", 5}});
    const std::string list = R"({"id":"2","command":"list_certificates"})";
    EXPECT_NE(request(json::parse(list)).dump().find("CertOpenStore falhou (erro 5)"),
              std::string::npos);

    options.agent = TOLVEX_PRODUCT_AGENT_PATH;
    const AgentRun run = run_requests({R"({"id":"1","command":"ping"})", list}, options);
    EXPECT_EQ(run.exit_status, 0) << run.stderr_text;
    EXPECT_EQ(run.responses,
              (std::vector<std::string>{
                  R"({"id":"1","ok":true,"result":{"type":"pong","agent_version":"0.1.1",)"
                  R"("protocol_version":3,"commands":["ping","list_tokens","list_certificates",)"
                  R"("read_certificate","sign"],"os_store":"none"}})",
                  R"({"id":"2","ok":true,"result":{"certificates":[],"warnings":[]}})"}));
    EXPECT_NE(run.stderr_text.find("agente iniciado; repositório do SO: none"), std::string::npos)
        << run.stderr_text;
    // Not even the emulator's variable is named in the shipped binary.
    EXPECT_EQ(read_file(TOLVEX_PRODUCT_AGENT_PATH).find("TOLVEX_EMULATED_STORE"),
              std::string::npos);
}

}  // namespace
}  // namespace tolvex::testing
