// The agent binary on a real token: SoftHSM in a private token folder, with
// keys and certificates imported by pkcs11-tool. Every signature is checked
// with OpenSSL.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <set>

#include "pkcs11_agent_support.hpp"
#include "support.hpp"
#include "tolvex/core/cert.hpp"

namespace tolvex::testing {
namespace {

using core::DigestAlgorithm;
using test::KeyKind;
using test::TestKey;

constexpr const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char* kPin = "1234";

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string quote(const std::string& s) {
    return "'" + s + "'";
}

// Two initialised tokens (and SoftHSM's free slot): "Tolvex RSA" with an RSA
// key and its certificate plus a certificate without a key, "Tolvex EC" with
// an EC key and its certificate.
class SoftHsm {
  public:
    SoftHsm()
        : rsa(test::test_key(KeyKind::Rsa2048, "Titular RSA")),
          ec(test::test_key(KeyKind::EcP256, "Titular EC")),
          keyless(test::test_key(KeyKind::EcP256, "Sem Chave")) {
        test::write_file(dir.file("softhsm2.conf"),
                         "directories.tokendir = " + dir.path().string() +
                             "/tokens\nobjectstore.backend = file\n");
        std::filesystem::create_directories(dir.file("tokens"));
        test::set_env("SOFTHSM2_CONF", conf());
        ok = init("Tolvex RSA") && import("Tolvex RSA", rsa, "01", true) &&
             import("Tolvex RSA", keyless, "03", false) && init("Tolvex EC") &&
             import("Tolvex EC", ec, "02", true);
    }

    std::string conf() const { return dir.file("softhsm2.conf").string(); }

    test::ScratchDir dir;
    const TestKey& rsa;
    const TestKey& ec;
    const TestKey& keyless;
    bool ok = false;

  private:
    bool init(const std::string& label) {
        return run("softhsm2-util --init-token --free --label " + quote(label) + " --pin " + kPin +
                   " --so-pin 87654321");
    }
    bool import(const std::string& label, const TestKey& key, const std::string& id,
                bool with_key) {
        const std::string tool = std::string("pkcs11-tool --module ") + kSoftHsm +
                                 " --token-label " + quote(label) + " --login --pin " + kPin;
        if (with_key) {
            const std::string der = key.key_file + ".der";
            if (!run("openssl pkey -in " + quote(key.key_file) + " -outform DER -out " +
                     quote(der)))
                return false;
            if (!run(tool + " --write-object " + quote(der) + " --type privkey --id " + id +
                     " --label chave"))
                return false;
        }
        return run(tool + " --write-object " + quote(key.cert_file) + " --type cert --id " + id +
                   " --label cert");
    }
};

class SoftHsmTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!agent_is_windows() && std::filesystem::exists(kSoftHsm))
            hsm_ = new SoftHsm();
    }
    static void TearDownTestSuite() {
        delete hsm_;
        hsm_ = nullptr;
    }
    void SetUp() override {
        if (agent_is_windows())
            GTEST_SKIP() << "SoftHSM is a Linux module";
        if (hsm_ == nullptr)
            GTEST_SKIP() << "SoftHSM is not installed";
        ASSERT_TRUE(hsm_->ok) << "token setup failed";
    }

    static AgentOptions options(int times = 1) {
        AgentOptions o;
        std::string list;
        for (int i = 0; i < times; ++i)
            list += (i ? ";" : "") + std::string(kSoftHsm);
        o.env["TOLVEX_PKCS11_MODULES"] = list;
        o.env["SOFTHSM2_CONF"] = hsm_->conf();
        return o;
    }

    static Json sign_request(const TestKey& key, const char* field,
                             const std::vector<core::Bytes>& values, DigestAlgorithm alg,
                             std::optional<std::string> pin = kPin) {
        Json r = {{"id", "s"},
                  {"command", "sign"},
                  {"thumbprint", thumbprint_of(key.cert_der)},
                  {"digest_algorithm", std::string(core::digest_algorithm_text(alg))}};
        const std::string f = field;
        if (f == "data" || f == "hash") {
            r[f] = b64(values.at(0));
        } else {
            r[f] = Json::array();
            for (const auto& v : values)
                r[f].push_back(b64(v));
        }
        if (pin)
            r["pin"] = *pin;
        return r;
    }

    static SoftHsm* hsm_;
};

SoftHsm* SoftHsmTest::hsm_ = nullptr;

TEST_F(SoftHsmTest, ListsInitialisedTokensOnly) {
    Json reply = ask_one({{"id", "1"}, {"command", "list_tokens"}}, options());
    const Json& tokens = reply["result"]["tokens"];
    ASSERT_EQ(tokens.size(), 2u) << reply.dump();
    // SoftHSM numbers its slots itself, so the order is its own.
    std::set<std::string> labels{tokens[0]["label"], tokens[1]["label"]};
    EXPECT_EQ(labels, (std::set<std::string>{"Tolvex RSA", "Tolvex EC"}));
    for (const auto& t : tokens) {
        EXPECT_EQ(t["module"], kSoftHsm);
        EXPECT_EQ(t["manufacturer"], "SoftHSM project");
        EXPECT_EQ(t["model"], "SoftHSM v2");
        EXPECT_FALSE(t["serial_number"].get<std::string>().empty());
    }
    EXPECT_TRUE(reply["result"]["warnings"].empty());
}

TEST_F(SoftHsmTest, ListsAndReadsCertificates) {
    Json reply = ask_one({{"id", "1"}, {"command", "list_certificates"}}, options());
    const Json& certs = reply["result"]["certificates"];
    ASSERT_EQ(certs.size(), 3u) << reply.dump();
    std::map<std::string, Json> by_cn;
    for (const auto& c : certs)
        by_cn[c["subject_cn"]] = c;
    ASSERT_EQ(by_cn.count("Titular RSA"), 1u);
    EXPECT_EQ(by_cn["Titular RSA"]["thumbprint"], thumbprint_of(hsm_->rsa.cert_der));
    EXPECT_EQ(
        by_cn["Titular RSA"]["sources"],
        Json::parse(
            R"([{"kind":"pkcs11","label":"Tolvex RSA","requires_pin":true,"key_storage":"token"}])"));
    EXPECT_EQ(by_cn["Titular EC"]["sources"][0]["label"], "Tolvex EC");
    EXPECT_EQ(by_cn["Sem Chave"]["sources"][0]["label"], "Tolvex RSA");

    std::string upper = thumbprint_of(hsm_->ec.cert_der);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Json read =
        ask_one({{"id", "2"}, {"command", "read_certificate"}, {"thumbprint", upper}}, options());
    ASSERT_TRUE(read["ok"]) << read.dump();
    EXPECT_EQ(read["result"]["thumbprint"], thumbprint_of(hsm_->ec.cert_der));
    EXPECT_EQ(unb64(read["result"]["certificate"]), hsm_->ec.cert_der);
}

TEST_F(SoftHsmTest, SignsHashesAndDataWithRsaAndEc) {
    const core::Bytes data{'c', 'o', 'n', 't', 'r', 'a', 't', 'o'};
    std::vector<Json> requests;
    std::vector<std::pair<const TestKey*, DigestAlgorithm>> expected;
    for (const TestKey* key : {&hsm_->rsa, &hsm_->ec}) {
        for (auto alg :
             {DigestAlgorithm::Sha256, DigestAlgorithm::Sha384, DigestAlgorithm::Sha512}) {
            requests.push_back(sign_request(*key, "hash", {core::compute_digest(data, alg)}, alg));
            requests.push_back(sign_request(*key, "data", {data}, alg));
            expected.push_back({key, alg});
            expected.push_back({key, alg});
        }
    }
    auto replies = ask(requests, options());
    for (std::size_t i = 0; i < replies.size(); ++i) {
        const auto& [key, alg] = expected[i];
        ASSERT_TRUE(replies[i]["ok"]) << replies[i].dump();
        const Json& result = replies[i]["result"];
        EXPECT_EQ(result["signature_algorithm"], key == &hsm_->rsa ? "rsa-pkcs1-v1_5" : "ecdsa");
        EXPECT_EQ(result["digest_algorithm"], core::digest_algorithm_text(alg));
        const core::Bytes sig = unb64(result["signature"]);
        if (key == &hsm_->ec) {
            EXPECT_EQ(sig.size(), 64u);
        }
        EXPECT_TRUE(test::verify(*key, alg, core::compute_digest(data, alg), sig)) << i;
    }
}

TEST_F(SoftHsmTest, SignsBatchesOfFiveHundred) {
    std::vector<core::Bytes> items;
    std::vector<core::Bytes> digests;
    for (int i = 0; i < 500; ++i) {
        items.push_back(
            core::Bytes{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)});
        digests.push_back(core::compute_digest(items.back(), DigestAlgorithm::Sha256));
    }
    auto replies = ask({sign_request(hsm_->rsa, "hashes", digests, DigestAlgorithm::Sha256),
                        sign_request(hsm_->ec, "data_list", items, DigestAlgorithm::Sha256)},
                       options());
    for (const auto& [reply, key] :
         {std::pair{replies[0], &hsm_->rsa}, std::pair{replies[1], &hsm_->ec}}) {
        ASSERT_TRUE(reply["ok"]) << reply.dump().substr(0, 300);
        const Json& sigs = reply["result"]["signatures"];
        ASSERT_EQ(sigs.size(), 500u);
        for (std::size_t i = 0; i < 500; ++i)
            ASSERT_TRUE(test::verify(*key, DigestAlgorithm::Sha256, digests[i], unb64(sigs[i])))
                << i;
    }
}

TEST_F(SoftHsmTest, PinAndKeyFailures) {
    const std::vector<core::Bytes> one{
        core::compute_digest(core::Bytes{1}, DigestAlgorithm::Sha256)};
    auto replies = ask({sign_request(hsm_->rsa, "hash", one, DigestAlgorithm::Sha256, "0000"),
                        sign_request(hsm_->rsa, "hash", one, DigestAlgorithm::Sha256, std::nullopt),
                        sign_request(hsm_->keyless, "hash", one, DigestAlgorithm::Sha256)},
                       options());
    EXPECT_EQ(replies[0]["error"]["code"], "pin_incorrect") << replies[0].dump();
    EXPECT_EQ(replies[1]["error"], (Json{{"code", "pin_required"}, {"message", "PIN necessário"}}));
    EXPECT_EQ(replies[2]["error"]["code"], "key_not_found") << replies[2].dump();
    // The right PIN still works afterwards.
    Json ok = ask_one(sign_request(hsm_->rsa, "hash", one, DigestAlgorithm::Sha256), options());
    EXPECT_TRUE(ok["ok"]) << ok.dump();
}

TEST_F(SoftHsmTest, SameModuleListedTwice) {
    auto replies = ask({{{"id", "t"}, {"command", "list_tokens"}},
                        {{"id", "c"}, {"command", "list_certificates"}},
                        sign_request(hsm_->ec, "data", {core::Bytes{9}}, DigestAlgorithm::Sha256)},
                       options(2));
    EXPECT_EQ(replies[0]["result"]["tokens"].size(), 4u) << replies[0].dump();
    const Json& certs = replies[1]["result"]["certificates"];
    ASSERT_EQ(certs.size(), 3u);
    for (const auto& c : certs)
        EXPECT_EQ(c["sources"].size(), 1u) << c.dump();
    ASSERT_TRUE(replies[2]["ok"]) << replies[2].dump();
    EXPECT_TRUE(test::verify(hsm_->ec, DigestAlgorithm::Sha256,
                             core::compute_digest(core::Bytes{9}, DigestAlgorithm::Sha256),
                             unb64(replies[2]["result"]["signature"])));
}

TEST(SoftHsmWithoutIds, EachCertificateSignsWithItsOwnKey) {
    // An RSA and an EC key whose objects and certificates carry no CKA_ID,
    // as a token filled by hand may hold them: the key is told by its public
    // part (SoftHSM shows the modulus, not the EC point), never by order.
    if (agent_is_windows() || !std::filesystem::exists(kSoftHsm))
        GTEST_SKIP() << "SoftHSM is a Linux module";
    const TestKey& rsa = test::test_key(KeyKind::Rsa2048, "Sem ID RSA");
    const TestKey& ec = test::test_key(KeyKind::EcP256, "Sem ID EC");
    test::ScratchDir dir;
    const std::string conf = dir.file("softhsm2.conf").string();
    test::write_file(conf, "directories.tokendir = " + dir.file("tokens").string() +
                               "\nobjectstore.backend = file\n");
    std::filesystem::create_directories(dir.file("tokens"));
    const std::string env = "SOFTHSM2_CONF=" + quote(conf) + " ";
    const std::string tool = env + "pkcs11-tool --module " + kSoftHsm +
                             " --token-label 'Sem ID' --login --pin " + kPin + " --write-object ";
    ASSERT_TRUE(run(env + "softhsm2-util --init-token --free --label 'Sem ID' --pin " + kPin +
                    " --so-pin 87654321"));
    for (const TestKey* key : {&ec, &rsa}) {
        const std::string der = key->key_file + ".der";
        ASSERT_TRUE(
            run("openssl pkey -in " + quote(key->key_file) + " -outform DER -out " + quote(der)));
        ASSERT_TRUE(run(tool + quote(der) + " --type privkey"));
        ASSERT_TRUE(run(tool + quote(key->cert_file) + " --type cert"));
    }
    AgentOptions options;
    options.env["TOLVEX_PKCS11_MODULES"] = kSoftHsm;
    options.env["SOFTHSM2_CONF"] = conf;
    AgentProcess agent(options, dir.file("agent.err").string());
    for (int i = 0; i < 10; ++i) {
        const TestKey& key = i % 2 ? ec : rsa;
        const core::Bytes digest = core::compute_digest(core::Bytes{static_cast<std::uint8_t>(i)},
                                                        DigestAlgorithm::Sha256);
        Json reply = ask_process(agent, {{"id", "s"},
                                         {"command", "sign"},
                                         {"thumbprint", thumbprint_of(key.cert_der)},
                                         {"hash", b64(digest)},
                                         {"pin", kPin}});
        ASSERT_TRUE(reply["ok"]) << i << reply.dump();
        EXPECT_TRUE(
            test::verify(key, DigestAlgorithm::Sha256, digest, unb64(reply["result"]["signature"])))
            << i;
    }
    EXPECT_EQ(agent.finish(), 0);
}

}  // namespace
}  // namespace tolvex::testing
