// The PKCS#11 source through the agent binary, on the test token module: the
// listings with their warnings, and signing with the login rules. Against
// the Windows agent the module is the Windows build's .dll.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "pkcs11_agent_support.hpp"
#include "support.hpp"
#include "tolvex/core/cert.hpp"

namespace tolvex::testing {
namespace {

using test::KeyKind;
using test::TestKey;

std::filesystem::path module_under_test() {
    if (agent_is_windows()) {
        const char* bin = std::getenv("TOLVEX_WINDOWS_BIN");
        return std::filesystem::path(bin != nullptr ? bin : "build/windows/bin") /
               "tolvex_test_token.dll";
    }
    return test::token_module();
}

class AgentTokenTest : public ::testing::Test {
  protected:
    AgentTokenTest() : rsa_(test::test_key(KeyKind::Rsa2048)) {}

    // A token that needs a PIN and holds the RSA certificate and key.
    void add_token(Json flags = {"CKF_TOKEN_INITIALIZED", "CKF_LOGIN_REQUIRED"}) {
        config_["call_log"] = agent_path(log_file());
        config_["slots"].push_back(
            {{"id", 3},
             {"token",
              {{"label", "Token A"},
               {"manufacturer", "Tolvex"},
               {"model", "Teste"},
               {"serial", "42"},
               {"flags", std::move(flags)},
               {"pin", "1234"},
               {"flags_after_wrong_pin",
                {"CKF_TOKEN_INITIALIZED", "CKF_LOGIN_REQUIRED", "CKF_USER_PIN_FINAL_TRY"}},
               {"objects",
                {{{"class", "certificate"},
                  {"value_file", agent_path(rsa_.cert_file)},
                  {"id", "01"}},
                 {{"class", "private_key"},
                  {"key_file", agent_path(rsa_.key_file)},
                  {"id", "01"}}}}}}});
    }

    AgentOptions options(const std::vector<std::string>& modules) {
        test::write_file(dir_.file("token.json"), config_.dump());
        AgentOptions o;
        std::string list;
        for (const auto& m : modules)
            list += (list.empty() ? "" : ";") + m;
        o.env["TOLVEX_PKCS11_MODULES"] = list;
        o.env["TOLVEX_TEST_TOKEN_CONFIG"] = agent_path(dir_.file("token.json"));
        return o;
    }

    Json sign_request(const std::vector<core::Bytes>& hashes, std::optional<std::string> pin) {
        Json r = {{"id", "s"}, {"command", "sign"}, {"thumbprint", thumbprint_of(rsa_.cert_der)}};
        if (hashes.size() == 1) {
            r["hash"] = b64(hashes[0]);
        } else {
            r["hashes"] = Json::array();
            for (const auto& h : hashes)
                r["hashes"].push_back(b64(h));
        }
        if (pin)
            r["pin"] = *pin;
        return r;
    }

    std::filesystem::path log_file() const { return dir_.file("calls.log"); }
    std::vector<std::string> log() const { return test::read_lines(log_file()); }

    const TestKey& rsa_;
    test::ScratchDir dir_;
    Json config_ = {{"slots", Json::array()}};
};

TEST_F(AgentTokenTest, ListingsCarryTokensCertificatesAndWarnings) {
    add_token();
    const std::string missing = agent_path(dir_.file("ausente.so"));
    const std::string module = agent_path(module_under_test());
    auto replies = ask({{{"id", "t"}, {"command", "list_tokens"}},
                        {{"id", "c"}, {"command", "list_certificates"}}},
                       options({missing, module}));

    const Json& tokens = replies[0]["result"];
    ASSERT_EQ(tokens["tokens"].size(), 1u) << replies[0].dump();
    EXPECT_EQ(tokens["tokens"][0], (Json{{"module", module},
                                         {"slot_id", 3},
                                         {"label", "Token A"},
                                         {"manufacturer", "Tolvex"},
                                         {"model", "Teste"},
                                         {"serial_number", "42"}}));
    ASSERT_EQ(tokens["warnings"].size(), 1u);
    EXPECT_EQ(tokens["warnings"][0]["module"], missing);
    const std::string message = tokens["warnings"][0]["message"];
    if (agent_is_windows())
        EXPECT_EQ(message, "libloading error (LoadLibraryExW failed)");
    else
        EXPECT_EQ(message.rfind("libloading error (dlopen failed: ", 0), 0u) << message;

    const Json& certs = replies[1]["result"];
    ASSERT_EQ(certs["certificates"].size(), 1u) << replies[1].dump();
    EXPECT_EQ(certs["certificates"][0]["thumbprint"], thumbprint_of(rsa_.cert_der));
    EXPECT_EQ(
        certs["certificates"][0]["sources"],
        Json::parse(
            R"([{"kind":"pkcs11","label":"Token A","requires_pin":true,"key_storage":"token"}])"));
    // The Windows store may add its own warning; only the modules' count.
    std::vector<Json> module_warnings;
    for (const auto& w : certs["warnings"])
        if (w["source"] != "MY" && w["source"] != "Os")
            module_warnings.push_back(w);
    ASSERT_EQ(module_warnings.size(), 1u) << certs["warnings"].dump();
    EXPECT_EQ(module_warnings[0], (Json{{"source", missing}, {"message", message}}));
}

TEST_F(AgentTokenTest, SignsWithThePinAndReportsPinErrors) {
    add_token();
    const std::string module = agent_path(module_under_test());
    const std::vector<core::Bytes> three{
        core::compute_digest(core::Bytes{1}, core::DigestAlgorithm::Sha256),
        core::compute_digest(core::Bytes{2}, core::DigestAlgorithm::Sha256),
        core::compute_digest(core::Bytes{3}, core::DigestAlgorithm::Sha256)};
    Json reply = ask_one(sign_request(three, "1234"), options({module}));
    ASSERT_TRUE(reply["ok"]) << reply.dump();
    EXPECT_EQ(reply["result"]["signature_algorithm"], "rsa-pkcs1-v1_5");
    ASSERT_EQ(reply["result"]["signatures"].size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(test::verify(rsa_, core::DigestAlgorithm::Sha256, three[i],
                                 unb64(reply["result"]["signatures"][i])));
    // The listing made to find the certificate logs in nowhere; the signing
    // logs in once and signs three times.
    EXPECT_EQ(test::calls(log(), "C_Login").size(), 1u);
    EXPECT_EQ(test::calls(log(), "C_SignInit").size(), 3u);
    EXPECT_EQ(test::calls(log(), "C_Logout").size(), 1u);

    std::filesystem::remove(log_file());
    reply = ask_one(sign_request({three[0]}, std::nullopt), options({module}));
    EXPECT_EQ(reply["error"]["code"], "pin_required") << reply.dump();
    EXPECT_TRUE(test::calls(log(), "C_Login").empty());

    reply = ask_one(sign_request({three[0]}, "9999"), options({module}));
    EXPECT_EQ(reply["error"],
              (Json{{"code", "pin_incorrect"},
                    {"message",
                     "PIN incorreto. ATENÇÃO: a próxima tentativa errada vai BLOQUEAR o token"}}));

    config_["returns"] = {{"C_Sign", {"ok", "CKR_DEVICE_ERROR"}}};
    reply = ask_one(sign_request({three[0]}, "1234"), options({module}));
    EXPECT_EQ(reply["error"]["code"], "sign_failed");
    EXPECT_EQ(reply["error"]["message"],
              "falha ao assinar: Function::Sign: PKCS11 error: DeviceError");
}

TEST_F(AgentTokenTest, HostileModulesNeitherCrashNorStopTheLoop) {
    // One module runs a thread from C_Initialize to C_Finalize, as vendors'
    // slot-event threads do, and one more that C_Finalize never stops; it
    // refuses CKF_OS_LOCKING_OK, as NSS's PEM module does. The other
    // reports an absurd slot count (one that fits the Windows build's
    // 32-bit CK_ULONG).
    add_token();
    const std::filesystem::path threaded = module_under_test();
    const std::filesystem::path absurd =
        threaded.parent_path() / ("tolvex_test_token_v2" + threaded.extension().string());
    Json token_config = config_;
    token_config["worker_thread"] = true;
    token_config["stray_thread"] = true;
    token_config["returns"] = {{"C_Initialize", {"CKR_CANT_LOCK"}}};
    config_ = {{"modules",
                {{threaded.filename().string(), token_config},
                 {absurd.filename().string(), {{"slot_count", 0xFFFFFFF0u}}}}}};
    const std::string count_warning =
        "Function::GetSlotList: slot count 4294967280 exceeds the limit of 1024";
    const core::Bytes digest = core::compute_digest(core::Bytes{7}, core::DigestAlgorithm::Sha256);
    std::vector<Json> requests;
    for (int round = 0; round < 5; ++round) {
        requests.push_back({{"id", "t"}, {"command", "list_tokens"}});
        requests.push_back({{"id", "c"}, {"command", "list_certificates"}});
        requests.push_back(sign_request({digest}, "1234"));
    }
    std::vector<std::string> bodies;
    for (const Json& r : requests)
        bodies.push_back(r.dump());
    AgentRun run = run_requests(bodies, options({agent_path(absurd), agent_path(threaded)}));
    ASSERT_EQ(run.exit_status, 0) << run.stderr_text;
    ASSERT_EQ(run.responses.size(), requests.size()) << run.stderr_text;
    std::vector<Json> replies;
    for (const auto& body : run.responses)
        replies.push_back(Json::parse(body));
    for (std::size_t i = 0; i < replies.size(); i += 3) {
        ASSERT_EQ(replies[i]["result"]["tokens"].size(), 1u) << replies[i].dump();
        EXPECT_EQ(replies[i]["result"]["warnings"][0]["message"], count_warning);
        ASSERT_EQ(replies[i + 1]["result"]["certificates"].size(), 1u) << replies[i + 1].dump();
        ASSERT_TRUE(replies[i + 2]["ok"]) << replies[i + 2].dump();
        EXPECT_TRUE(test::verify(rsa_, core::DigestAlgorithm::Sha256, digest,
                                 unb64(replies[i + 2]["result"]["signature"])));
    }
    // Each load: the flag refused, then NULL arguments, logged.
    const auto inits = test::calls(log(), "C_Initialize");
    ASSERT_EQ(inits.size(), 30u);
    EXPECT_EQ(inits[0], "C_Initialize flags=0x2 -> 0xa");
    EXPECT_EQ(inits[1], "C_Initialize args=null worker=started stray=started -> 0x0");
    EXPECT_NE(run.stderr_text.find("INFO tolvex_pkcs11: módulo PKCS#11 inicializado sem "
                                   "CKF_OS_LOCKING_OK module=\"" +
                                   agent_path(threaded) + "\" args=null rv=Ok"),
              std::string::npos)
        << run.stderr_text;
}

TEST_F(AgentTokenTest, KeysAreFoundByTheirPublicKeyAndEverySignatureIsChecked) {
    // One token, behind two slots that cannot be read, holds besides the RSA
    // certificate: an EC certificate without CKA_ID whose key shows nothing
    // of itself but has a public key object (bare point) beside it, next to
    // another EC key; a certificate whose CKA_ID two keys carry; and one
    // whose CKA_ID names a single key that is not its own.
    add_token();
    const TestKey& ec = test::test_key(KeyKind::EcP256);
    const TestKey& other_ec = test::test_key(KeyKind::EcP256, "Outro");
    const TestKey& second = test::test_key(KeyKind::Rsa2048, "Segundo");
    const TestKey& wrong = test::test_key(KeyKind::Rsa2048, "Errado");
    auto object = [&](const char* cls, const TestKey& key, const char* id) {
        Json o = {{"class", cls}, {"id", id}};
        o[std::string(cls) == "certificate" ? "value_file" : "key_file"] =
            agent_path(std::string(cls) == "certificate" ? key.cert_file : key.key_file);
        return o;
    };
    Json& objects = config_["slots"][0]["token"]["objects"];
    Json ec_cert = object("certificate", ec, "");
    ec_cert.erase("id");
    Json hidden_ec = object("private_key", ec, "0e");
    hidden_ec["public_parts"] = false;
    Json ec_public = object("public_key", ec, "0e");
    ec_public["ec_point"] = "raw";
    for (Json o : {object("private_key", other_ec, "0f"), ec_cert, hidden_ec, ec_public,
                   object("private_key", rsa_, "02"), object("private_key", second, "02"),
                   object("certificate", second, "02"), object("private_key", rsa_, "03"),
                   object("certificate", wrong, "03")})
        objects.push_back(std::move(o));
    Json unreadable = {{"id", 4},
                       {"token", {{"label", "Mudo"}}},
                       {"fail", {{"C_GetTokenInfo", "CKR_DEVICE_ERROR"}}}};
    Json unopenable = {{"id", 5},
                       {"token", {{"label", "Fechado"}}},
                       {"fail", {{"C_OpenSession", "CKR_TOKEN_NOT_RECOGNIZED"}}}};
    config_["slots"].insert(config_["slots"].begin(), {unreadable, unopenable});

    const std::string module = agent_path(module_under_test());
    const core::Bytes digest = core::compute_digest(core::Bytes{9}, core::DigestAlgorithm::Sha256);
    auto sign = [&](const TestKey& key) {
        return Json{{"id", "s"},
                    {"command", "sign"},
                    {"thumbprint", thumbprint_of(key.cert_der)},
                    {"hash", b64(digest)},
                    {"pin", "1234"}};
    };
    std::vector<std::string> bodies = {Json{{"id", "t"}, {"command", "list_tokens"}}.dump(),
                                       Json{{"id", "c"}, {"command", "list_certificates"}}.dump(),
                                       sign(ec).dump(), sign(second).dump(), sign(wrong).dump()};
    AgentRun run = run_requests(bodies, options({module}));
    ASSERT_EQ(run.responses.size(), bodies.size()) << run.stderr_text;
    std::vector<Json> r;
    for (const auto& body : run.responses)
        r.push_back(Json::parse(body));

    // The slots that cannot be read are named, and hide nothing else.
    EXPECT_EQ(r[0]["result"]["tokens"].size(), 2u) << r[0].dump();
    EXPECT_EQ(r[0]["result"]["warnings"],
              (Json{{{"module", module},
                     {"message", "slot 4: Function::GetTokenInfo: PKCS11 error: DeviceError"}}}));
    EXPECT_EQ(r[1]["result"]["certificates"].size(), 4u) << r[1].dump();
    std::vector<Json> module_warnings;
    for (const auto& w : r[1]["result"]["warnings"])
        if (w["source"] != "MY" && w["source"] != "Os")
            module_warnings.push_back(w);
    EXPECT_EQ(
        Json(module_warnings),
        (Json{{{"source", module},
               {"message", "slot 4: Function::GetTokenInfo: PKCS11 error: DeviceError"}},
              {{"source", module + "/Fechado"},
               {"message", "slot 5: Function::OpenSession: PKCS11 error: TokenNotRecognized"}}}));

    for (auto [reply, key] : {std::pair{r[2], &ec}, std::pair{r[3], &second}}) {
        ASSERT_TRUE(reply["ok"]) << reply.dump();
        EXPECT_TRUE(test::verify(*key, core::DigestAlgorithm::Sha256, digest,
                                 unb64(reply["result"]["signature"])));
    }
    EXPECT_EQ(r[4]["error"],
              (Json{{"code", "sign_failed"},
                    {"message",
                     "falha ao assinar: a assinatura do token não corresponde ao certificado"}}));
    EXPECT_NE(run.stderr_text.find("ERROR tolvex_agent::handler: assinatura não confere com o "
                                   "certificado source=pkcs11 item=0 items=1"),
              std::string::npos)
        << run.stderr_text;
}

TEST_F(AgentTokenTest, ModuleOutputNeverReachesTheChannel) {
    add_token();
    config_["stdout"] = "DEBUG: token pronto";
    auto run =
        run_requests({R"({"id":"t","command":"list_tokens"})", R"({"id":"p","command":"ping"})"},
                     options({agent_path(module_under_test())}));
    EXPECT_EQ(run.exit_status, 0);
    ASSERT_EQ(run.responses.size(), 2u) << run.stdout_bytes;
    EXPECT_EQ(run.stdout_bytes, frames(run.responses));
    EXPECT_EQ(Json::parse(run.responses[0])["result"]["tokens"].size(), 1u) << run.responses[0];
    EXPECT_NE(run.stderr_text.find("DEBUG: token pronto"), std::string::npos) << run.stderr_text;
}

TEST_F(AgentTokenTest, AnswerPastTheFrameLimitFailsAloneAndTheSessionGoesOn) {
    // 2,100 certificates on three tokens, differing in their last signature
    // bytes (the signature is not checked): more than one answer can hold.
    add_token();
    config_.erase("call_log");
    const Json token = config_["slots"][0];
    config_["slots"] = Json::array();
    for (int slot = 0; slot < 3; ++slot) {
        Json s = token;
        s["id"] = slot;
        for (int i = 0; i < 700; ++i) {
            core::Bytes der = rsa_.cert_der;
            der[der.size() - 1] = static_cast<unsigned char>(i);
            der[der.size() - 2] = static_cast<unsigned char>(slot << 2 | i >> 8);
            s["token"]["objects"].push_back(
                {{"class", "certificate"}, {"value_hex", core::hex_lower(der)}});
        }
        config_["slots"].push_back(std::move(s));
    }
    auto run = run_requests(
        {R"({"id":"c","command":"list_certificates"})", R"({"id":"p","command":"ping"})"},
        options({agent_path(module_under_test())}));
    EXPECT_EQ(run.exit_status, 0);
    ASSERT_EQ(run.responses.size(), 2u) << run.stderr_text;
    EXPECT_TRUE(run.responses[0] == R"({"id":"c","ok":false,"error":{"code":"unsupported",)"
                                    R"("message":"não suportado: resposta excede o limite do )"
                                    R"(Native Messaging"}})")
        << run.responses[0].size() << " bytes";
    EXPECT_TRUE(Json::parse(run.responses[1])["ok"]);
    EXPECT_NE(run.stderr_text.find("ERROR tolvex_agent::handler: falhou "
                                   "command=list_certificates code=\"unsupported\" bytes="),
              std::string::npos)
        << run.stderr_text;
}

TEST_F(AgentTokenTest, HungModuleDoesNotOutliveTheBrowser) {
    if (agent_is_windows())
        GTEST_SKIP() << "Wine gives the agent Unix pipes, whose state Windows cannot query";
    add_token();
    const std::string module = agent_path(module_under_test());
    const std::vector<std::pair<std::string, Json>> cases = {
        {"C_GetSlotList", {{"id", "t"}, {"command", "list_tokens"}}},
        {"C_Login", sign_request({core::Bytes(32, 1)}, "1234")},
    };
    for (const auto& [function, request] : cases) {
        config_["hang"] = {function};
        std::filesystem::remove(log_file());
        AgentProcess agent(options({module}), dir_.file("stderr.txt").string());
        ASSERT_TRUE(agent.send(request.dump()));
        // Wait until the request is stuck in the module, then go away as a
        // browser does: both pipes closed.
        for (int i = 0; i < 1000 && test::calls(log(), function).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(test::calls(log(), function), std::vector<std::string>{function + " hangs"});
        EXPECT_EQ(agent.abandon(std::chrono::seconds(10)), 1) << function;
        EXPECT_NE(read_file(dir_.file("stderr.txt").string())
                      .find("ERROR tolvex_agent: o navegador fechou o canal durante um pedido"),
                  std::string::npos)
            << function;
    }
}

TEST_F(AgentTokenTest, RelativeModuleNameIsNotLoadedFromTheCurrentFolder) {
    // A library planted in the folder the agent was started in.
    add_token();
    TempDir cwd;
    const auto module = module_under_test();
    std::filesystem::copy_file(module, cwd.file(module.filename().string()));
    auto o = options({module.filename().string()});
    o.working_directory = cwd.path();
    Json reply = ask_one({{"id", "t"}, {"command", "list_tokens"}}, o);
    EXPECT_TRUE(reply["result"]["tokens"].empty()) << reply.dump();
    ASSERT_EQ(reply["result"]["warnings"].size(), 1u) << reply.dump();
    EXPECT_EQ(reply["result"]["warnings"][0]["module"], module.filename().string());
    EXPECT_TRUE(test::calls(log(), "C_Initialize").empty());
}

}  // namespace
}  // namespace tolvex::testing
