#include <gtest/gtest.h>

#include <spdlog/sinks/ostream_sink.h>

#include <sstream>

#include "sign_listed.hpp"
#include "support.hpp"
#include "tolvex/core/digest.hpp"
#include "tolvex/core/key_storage.hpp"
#include "tolvex/core/log.hpp"
#include "tolvex/pkcs11/certsource.hpp"
#include "tolvex/pkcs11/module.hpp"
#include "tolvex/pkcs11/names.hpp"

namespace tolvex::test {
namespace {

using core::DigestAlgorithm;
using core::ErrorKind;
using pkcs11::Pkcs11Source;

constexpr const char* kConfigVariable = "TOLVEX_TEST_TOKEN_CONFIG";

core::Bytes digest_of(DigestAlgorithm alg, std::string_view text = "documento") {
    return core::compute_digest(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), alg);
}

// One token configuration per test, written to a scratch folder; the call log
// lands there too.
class TokenTest : public ::testing::Test {
  protected:
    TokenTest() { config_ = {{"call_log", log_file().string()}, {"slots", Json::array()}}; }
    ~TokenTest() override { set_env(kConfigVariable, std::nullopt); }

    std::filesystem::path log_file() const { return dir_.file("calls.log"); }

    // A slot holding an initialised token; returns it for further settings.
    Json& add_token(Json token, CK_SLOT_ID id = 1) {
        if (!token.contains("flags"))
            token["flags"] = {"CKF_TOKEN_INITIALIZED"};
        config_["slots"].push_back({{"id", id}, {"token", std::move(token)}});
        return config_["slots"].back()["token"];
    }

    static Json cert_object(const TestKey& key, const std::string& id = "01") {
        return {{"class", "certificate"}, {"value_file", key.cert_file}, {"id", id}};
    }
    static Json key_object(const TestKey& key, const std::string& id = "01") {
        return {{"class", "private_key"}, {"key_file", key.key_file}, {"id", id}};
    }
    // A token holding the certificate and its key.
    Json& add_keyed_token(const TestKey& key, Json flags = {"CKF_TOKEN_INITIALIZED"}) {
        return add_token({{"label", "Token A"},
                          {"flags", std::move(flags)},
                          {"pin", "1234"},
                          {"objects", {cert_object(key), key_object(key)}}});
    }

    void write_config() {
        write_file(dir_.file("config.json"), config_.dump());
        set_env(kConfigVariable, dir_.file("config.json").string());
    }

    Pkcs11Source source(std::vector<std::filesystem::path> modules = {}) {
        write_config();
        if (modules.empty())
            modules.push_back(token_module());
        return Pkcs11Source(std::move(modules));
    }

    std::vector<std::string> log() const { return read_lines(log_file()); }
    std::size_t count(const std::string& function) const { return calls(log(), function).size(); }

    TempDir dir_;
    Json config_;
};

TEST(Pkcs11Names, ReturnValuesAndKeyTypes) {
    EXPECT_EQ(pkcs11::rv_name(CKR_OK), "Ok");
    EXPECT_EQ(pkcs11::rv_name(CKR_PIN_INCORRECT), "PinIncorrect");
    EXPECT_EQ(pkcs11::rv_name(CKR_TOKEN_NOT_PRESENT), "TokenNotPresent");
    EXPECT_EQ(pkcs11::rv_name(CKR_CRYPTOKI_ALREADY_INITIALIZED), "CryptokiAlreadyInitialized");
    EXPECT_EQ(pkcs11::rv_name(CKR_USER_PIN_NOT_INITIALIZED), "UserPinNotInitialized");
    // The standard's values, not those of p11-kit's header.
    EXPECT_EQ(pkcs11::rv_name(0x1B5), "ExceededMaxIterations");
    EXPECT_EQ(pkcs11::rv_name(0x1B9), "PublicKeyInvalid");
    EXPECT_EQ(pkcs11::rv_name(0x1C4), "Unknown(0x000001c4)");
    EXPECT_EQ(pkcs11::rv_name(0x201), "TokenResourceExceeded");
    EXPECT_EQ(pkcs11::rv_name(0x4242), "Unknown(0x00004242)");
    EXPECT_EQ((pkcs11::CallError{"Login", CKR_PIN_INCORRECT}.text()),
              "Function::Login: PKCS11 error: PinIncorrect");
    EXPECT_EQ((pkcs11::CallError{"Login", std::nullopt}.text()), "Calling a NULL function pointer");

    EXPECT_EQ(pkcs11::key_type_name(CKK_DSA), "CKK_DSA");
    EXPECT_EQ(pkcs11::key_type_name(3), "CKK_EC");
    EXPECT_EQ(pkcs11::key_type_name(0x40), "CKK_EC_EDWARDS");
    EXPECT_EQ(pkcs11::key_type_name(0x4B), "CKK_SLH_DSA");
    EXPECT_EQ(pkcs11::key_type_name(0x1000), "unknown (00001000)");
}

TEST(Pkcs11Layout, TokenInfoIsPackedOnWindowsOnly) {
    // Cryptoki's structures are packed to one byte on Windows, where
    // CK_ULONG is 32 bits; elsewhere they have natural alignment. A module
    // built the other way would hand over token flags at the wrong offset.
#if defined(_WIN32)
    EXPECT_EQ(sizeof(CK_ULONG), 4u);
    EXPECT_EQ(sizeof(CK_TOKEN_INFO), 160u);
    EXPECT_EQ(sizeof(CK_INTERFACE), 20u);
#else
    EXPECT_EQ(sizeof(CK_TOKEN_INFO), sizeof(CK_ULONG) == 8 ? 208u : 160u);
#endif
    EXPECT_EQ(offsetof(CK_FUNCTION_LIST_3_0, C_GetInterfaceList), sizeof(CK_FUNCTION_LIST));
}

TEST(Pkcs11TokenText, BlankPaddedFieldsBecomeTrimmedText) {
    auto text = [](std::string raw) {
        raw.resize(32, ' ');
        return pkcs11::token_text(
            std::span(reinterpret_cast<const CK_UTF8CHAR*>(raw.data()), raw.size()));
    };
    EXPECT_EQ(text(""), "");
    EXPECT_EQ(text("Meu Token"), "Meu Token");
    EXPECT_EQ(text("  Cartão\xC2\xA0"), "Cartão");
    EXPECT_EQ(text("ab\xFF"
                   "cd"),
              "ab\xEF\xBF\xBD"
              "cd");
    // A character cut short gives one replacement; bytes that start nothing
    // (an overlong lead, a surrogate's tail) give one each.
    EXPECT_EQ(text("\xE2\x82"), "\xEF\xBF\xBD");
    EXPECT_EQ(text("a\xF0\x9F\x98"), "a\xEF\xBF\xBD");
    EXPECT_EQ(text("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(text("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(text("\xF0\x9F\x98\x80!"), "\xF0\x9F\x98\x80!");
    // Some modules pad with NUL bytes instead of blanks.
    EXPECT_EQ(text(std::string("SW   TPM\0\0\0\0 \0", 14)), "SW   TPM");
}

TEST_F(TokenTest, ModuleLoadFailuresBecomeWarnings) {
    auto warning_for = [&](const std::filesystem::path& module) {
        auto listing = source({module}).open()->list_certificates();
        EXPECT_TRUE(listing.certificates.empty());
        return listing.warnings.size() == 1 ? listing.warnings[0] : core::SourceWarning{};
    };
    const auto missing = dir_.file("nao-existe.so");
    auto w = warning_for(missing);
    EXPECT_EQ(w.origin, missing.string());
    EXPECT_EQ(w.message.rfind("libloading error (", 0), 0u) << w.message;

    EXPECT_EQ(warning_for(token_module_bare()).message,
              "Missing PKCS#11 symbol: C_GetFunctionList");

    config_["returns"] = {{"C_Initialize", {"CKR_DEVICE_ERROR"}}};
    EXPECT_EQ(warning_for(token_module()).message,
              "Function::Initialize: PKCS11 error: DeviceError");

    config_["returns"] = Json::object();
    config_["missing"] = {"C_Initialize"};
    EXPECT_EQ(warning_for(token_module()).message, "Calling a NULL function pointer");

    config_["missing"] = Json::array();
    config_["returns"] = {{"C_GetSlotList", {"CKR_DEVICE_REMOVED"}}};
    EXPECT_EQ(warning_for(token_module()).message,
              "Function::GetSlotList: PKCS11 error: DeviceRemoved");
    // The same warning reaches the token listing.
    auto tokens = source({missing}).open()->list_tokens();
    ASSERT_EQ(tokens.warnings.size(), 1u);
    EXPECT_EQ(tokens.warnings[0].message, w.message);
}

TEST_F(TokenTest, FunctionListComesFromTheInterfaceOrTheOldEntryPoint) {
    add_token({{"label", "T"}});
    auto tokens_via = [&](const std::filesystem::path& module) {
        std::filesystem::remove(log_file());
        return source({module}).open()->list_tokens().tokens.size();
    };
    EXPECT_EQ(tokens_via(token_module()), 1u);
    EXPECT_EQ(count("C_GetInterface"), 1u);
    EXPECT_EQ(calls(log(), "C_GetInterface")[0],
              "C_GetInterface name=null version=null flags=0x0 -> 0x0");
    EXPECT_EQ(count("C_GetFunctionList"), 0u);
    EXPECT_EQ(calls(log(), "C_Initialize")[0], "C_Initialize flags=0x2 -> 0x0");

    config_["interface"] = 2;
    EXPECT_EQ(tokens_via(token_module()), 1u);
    EXPECT_EQ(count("C_GetFunctionList"), 1u);

    config_["interface"] = 3;
    EXPECT_EQ(tokens_via(token_module_v2()), 1u);
    EXPECT_EQ(count("C_GetFunctionList"), 1u);

    config_["returns"] = {{"C_GetInterface", {"CKR_GENERAL_ERROR"}}};
    auto listing = source({token_module()}).open()->list_tokens();
    ASSERT_EQ(listing.warnings.size(), 1u);
    EXPECT_EQ(listing.warnings[0].message, "Function::GetInterface: PKCS11 error: GeneralError");

    config_["returns"] = {{"C_Initialize", {"CKR_CRYPTOKI_ALREADY_INITIALIZED"}}};
    EXPECT_EQ(tokens_via(token_module()), 1u);
}

TEST_F(TokenTest, ListsInitialisedTokensOnlyWithoutSessions) {
    config_["slots"].push_back({{"id", 7}});  // no token
    add_token({{"label", "Novo"}, {"flags", {"CKF_LOGIN_REQUIRED"}}}, 8);
    std::string blanks_hex;
    for (int i = 0; i < 32; ++i)
        blanks_hex += "20";
    add_token({{"label_hex", blanks_hex},
               {"manufacturer", "Fabricante"},
               {"model", "Modelo X"},
               {"serial", "00112233"}},
              9);
    auto listing = source({token_module(), token_module()}).open()->list_tokens();
    EXPECT_TRUE(listing.warnings.empty());
    const core::TokenRecord expected{
        token_module().string(), 9, "", "Fabricante", "Modelo X", "00112233"};
    ASSERT_EQ(listing.tokens.size(), 2u);  // the same module listed twice
    EXPECT_EQ(listing.tokens[0], expected);
    EXPECT_EQ(listing.tokens[1], expected);
    EXPECT_EQ(count("C_OpenSession"), 0u);
    EXPECT_EQ(calls(log(), "C_GetSlotList")[0], "C_GetSlotList present=1 buffer=no -> 0x0 count=2");
}

TEST_F(TokenTest, SlotListIsAskedTwiceEvenWhenEmpty) {
    auto listing = source().open()->list_tokens();
    EXPECT_TRUE(listing.tokens.empty() && listing.warnings.empty());
    EXPECT_EQ(calls(log(), "C_GetSlotList"),
              (std::vector<std::string>{"C_GetSlotList present=1 buffer=no -> 0x0 count=0",
                                        "C_GetSlotList present=1 buffer=yes -> 0x0 count=0"}));
}

TEST_F(TokenTest, ListsCertificatesWithPinRequirementFromFlags) {
    const TestKey& rsa = test_key(KeyKind::Rsa2048);
    const TestKey& ec = test_key(KeyKind::EcP256);
    add_token(
        {{"label", "Com PIN"},
         {"flags", {"CKF_TOKEN_INITIALIZED", "CKF_LOGIN_REQUIRED"}},
         {"objects", {cert_object(rsa), {{"class", "certificate"}, {"value_unavailable", true}}}}},
        1);
    add_token(
        {{"label", "Teclado"},
         {"flags",
          {"CKF_TOKEN_INITIALIZED", "CKF_LOGIN_REQUIRED", "CKF_PROTECTED_AUTHENTICATION_PATH"}},
         {"objects", {{{"class", "certificate"}, {"value_file", ec.cert_file}}}}},
        2);
    auto listing = source().open()->list_certificates();
    EXPECT_TRUE(listing.warnings.empty());
    ASSERT_EQ(listing.certificates.size(), 2u);
    const auto& a = listing.certificates[0];
    EXPECT_EQ(a.der, rsa.cert_der);
    EXPECT_EQ(a.location, "Com PIN");
    EXPECT_FALSE(a.provider);
    EXPECT_EQ(a.source, core::SourceKind::Pkcs11);
    EXPECT_TRUE(a.requires_pin);
    EXPECT_EQ(a.key_storage, core::KeyStorage::Token);
    EXPECT_EQ(listing.certificates[1].der, ec.cert_der);
    EXPECT_FALSE(listing.certificates[1].requires_pin);
    EXPECT_EQ(count("C_Login"), 0u);
    EXPECT_EQ(count("C_OpenSession"), 2u);
    EXPECT_EQ(count("C_CloseSession"), 2u);
    for (const auto& open : calls(log(), "C_OpenSession"))
        EXPECT_NE(open.find("flags=0x4 "), std::string::npos);
}

TEST_F(TokenTest, SearchesTenHandlesAtATime) {
    const TestKey& rsa = test_key(KeyKind::Rsa2048);
    Json many = cert_object(rsa);
    many["count"] = 25;
    add_token({{"label", "Cheio"}, {"objects", {many}}});
    auto listing = source().open()->list_certificates();
    EXPECT_EQ(listing.certificates.size(), 25u);
    std::vector<std::string> returned;
    for (const auto& line : calls(log(), "C_FindObjects"))
        returned.push_back(line.substr(line.rfind('=') + 1));
    EXPECT_EQ(returned, (std::vector<std::string>{"10", "10", "5", "0"}));
    EXPECT_EQ(calls(log(), "C_FindObjects")[0].rfind("C_FindObjects max=10 ", 0), 0u);
    EXPECT_EQ(count("C_FindObjectsFinal"), 1u);
}

TEST_F(TokenTest, SearchFailureOnATokenWarnsWithItsLabel) {
    const TestKey& rsa = test_key(KeyKind::Rsa2048);
    add_token({{"label", ""}, {"objects", {cert_object(rsa)}}}, 1);
    add_token({{"label", "Bom"}, {"objects", {cert_object(rsa)}}}, 2);
    config_["returns"] = {{"C_FindObjects", {"CKR_DEVICE_ERROR"}}};
    auto listing = source().open()->list_certificates();
    ASSERT_EQ(listing.warnings.size(), 1u);
    EXPECT_EQ(listing.warnings[0].origin, token_module().string() + "/");
    EXPECT_EQ(listing.warnings[0].message, "Function::FindObjects: PKCS11 error: DeviceError");
    ASSERT_EQ(listing.certificates.size(), 1u);
    EXPECT_EQ(listing.certificates[0].location, "Bom");
    EXPECT_EQ(count("C_FindObjectsFinal"), 2u);  // ended even after the failure
}

TEST_F(TokenTest, EmptyModuleListYieldsNothing) {
    Pkcs11Source none({});
    auto certs = none.open()->list_certificates();
    auto tokens = none.open()->list_tokens();
    EXPECT_TRUE(certs.certificates.empty() && certs.warnings.empty());
    EXPECT_TRUE(tokens.tokens.empty() && tokens.warnings.empty());
    EXPECT_EQ(sign_listed(none, test_key(KeyKind::EcP256).cert_der, {}, DigestAlgorithm::Sha256, {})
                  .error()
                  .kind(),
              ErrorKind::KeyNotFound);
}

TEST_F(TokenTest, SignsRsaOverDigestInfoForEveryAlgorithm) {
    const TestKey& rsa = test_key(KeyKind::Rsa2048);
    add_keyed_token(rsa, {"CKF_TOKEN_INITIALIZED", "CKF_LOGIN_REQUIRED"});
    auto src = source();
    for (auto alg : {DigestAlgorithm::Sha256, DigestAlgorithm::Sha384, DigestAlgorithm::Sha512}) {
        const core::Bytes digest = digest_of(alg);
        auto sig = sign_listed_one(src, rsa.cert_der, digest, alg, "1234");
        ASSERT_TRUE(sig) << sig.error().message();
        EXPECT_EQ(sig->size(), 256u);
        EXPECT_TRUE(verify(rsa, alg, digest, *sig));
    }
    auto inits = calls(log(), "C_SignInit");
    ASSERT_EQ(inits.size(), 3u);
    EXPECT_EQ(inits[0].rfind("C_SignInit mechanism=0x1 parameter=0 ", 0), 0u);
    auto signs = calls(log(), "C_Sign");
    ASSERT_EQ(signs.size(), 6u);
    EXPECT_EQ(signs[0], "C_Sign data=51 buffer=no -> 0x0 length=256");
    EXPECT_EQ(signs[4].rfind("C_Sign data=83 buffer=no", 0), 0u);
}

TEST_F(TokenTest, SignsEcWithRawConcatenatedSignature) {
    const TestKey& ec = test_key(KeyKind::EcP256);
    add_keyed_token(ec);
    const core::Bytes digest = digest_of(DigestAlgorithm::Sha256);
    auto sig =
        sign_listed_one(source(), ec.cert_der, digest, DigestAlgorithm::Sha256, std::nullopt);
    ASSERT_TRUE(sig) << sig.error().message();
    EXPECT_EQ(sig->size(), 64u);
    EXPECT_TRUE(verify(ec, DigestAlgorithm::Sha256, digest, *sig));
    EXPECT_EQ(calls(log(), "C_Sign")[0], "C_Sign data=32 buffer=no -> 0x0 length=64");
    EXPECT_EQ(calls(log(), "C_SignInit")[0].rfind("C_SignInit mechanism=0x1041 ", 0), 0u);
}

TEST_F(TokenTest, LoginFollowsTheTokenFlags) {
    const TestKey& ec = test_key(KeyKind::EcP256);
    const core::Bytes digest = digest_of(DigestAlgorithm::Sha256);
    const std::vector<core::Bytes> one{digest};
    auto sign = [&](core::PinView pin) {
        std::filesystem::remove(log_file());
        return sign_listed(source(), ec.cert_der, one, DigestAlgorithm::Sha256, pin);
    };

    // No login needed: the PIN is not used, but the session is logged out.
    add_keyed_token(ec);
    EXPECT_TRUE(sign("1234"));
    EXPECT_EQ(count("C_Login"), 0u);
    EXPECT_EQ(count("C_Logout"), 1u);

    // Login needed and no PIN: refused before any login.
    config_["slots"] = Json::array();
    add_keyed_token(ec, {"CKF_TOKEN_INITIALIZED", "CKF_LOGIN_REQUIRED"});
    EXPECT_EQ(sign(std::nullopt).error().kind(), ErrorKind::PinRequired);
    EXPECT_EQ(count("C_Login"), 0u);
    EXPECT_EQ(count("C_Logout"), 0u);
    EXPECT_EQ(count("C_CloseSession"), count("C_OpenSession"));

    auto signed_with_pin = sign("1234");
    ASSERT_TRUE(signed_with_pin) << signed_with_pin.error().message();
    EXPECT_EQ(calls(log(), "C_Login"),
              (std::vector<std::string>{"C_Login user=1 pin=1234 len=4 -> 0x0"}));

    config_["returns"] = {{"C_Login", {"CKR_USER_ALREADY_LOGGED_IN"}}};
    EXPECT_TRUE(sign("1234"));

    // An empty PIN is passed as an empty PIN, never as the null pointer of
    // the protected authentication path.
    config_["returns"] = Json::object();
    EXPECT_EQ(sign(std::string_view()).error().kind(), ErrorKind::PinIncorrect);
    EXPECT_EQ(calls(log(), "C_Login"),
              (std::vector<std::string>{"C_Login user=1 pin= len=0 -> 0xa0"}));

    // The protected authentication path takes the PIN itself.
    config_["returns"] = Json::object();
    config_["slots"] = Json::array();
    add_keyed_token(
        ec, {"CKF_TOKEN_INITIALIZED", "CKF_LOGIN_REQUIRED", "CKF_PROTECTED_AUTHENTICATION_PATH"});
    EXPECT_TRUE(sign("1234"));
    EXPECT_EQ(calls(log(), "C_Login"),
              (std::vector<std::string>{"C_Login user=1 pin=null len=0 -> 0x0"}));

    config_["returns"] = {{"C_Login", {"CKR_USER_ALREADY_LOGGED_IN"}}};
    auto already = sign("1234");
    ASSERT_FALSE(already);
    EXPECT_EQ(already.error().kind(), ErrorKind::SignFailed);
    EXPECT_EQ(already.error().detail(),
              "login no token: Function::Login: PKCS11 error: UserAlreadyLoggedIn");
    EXPECT_EQ(count("C_Logout"), 0u);

    config_["returns"] = {{"C_Login", {"CKR_PIN_INCORRECT"}}};
    EXPECT_EQ(sign(std::nullopt).error().kind(), ErrorKind::PinIncorrect);
    // Two for the listing, one for the signing: no refinement on the
    // protected path.
    EXPECT_EQ(count("C_GetTokenInfo"), 3u);
}

TEST_F(TokenTest, WrongPinIsRefinedByTheTokenFlags) {
    const TestKey& ec = test_key(KeyKind::EcP256);
    const std::vector<core::Bytes> one{digest_of(DigestAlgorithm::Sha256)};
    const std::pair<const char*, ErrorKind> cases[] = {
        {"CKF_USER_PIN_LOCKED", ErrorKind::PinLocked},
        {"CKF_USER_PIN_FINAL_TRY", ErrorKind::PinIncorrectFinalTry},
        {"CKF_USER_PIN_COUNT_LOW", ErrorKind::PinIncorrectCountLow},
        {"CKF_USER_PIN_INITIALIZED", ErrorKind::PinIncorrect},
    };
    for (const auto& [flag, kind] : cases) {
        config_["slots"] = Json::array();
        add_keyed_token(
            ec, {"CKF_TOKEN_INITIALIZED", "CKF_LOGIN_REQUIRED"})["flags_after_wrong_pin"] = {
            "CKF_TOKEN_INITIALIZED", "CKF_LOGIN_REQUIRED", flag};
        auto r = sign_listed(source(), ec.cert_der, one, DigestAlgorithm::Sha256, "0000");
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), kind) << flag;
    }

    auto login_result = [&](const char* rv) {
        config_["slots"] = Json::array();
        add_keyed_token(ec, {"CKF_TOKEN_INITIALIZED", "CKF_LOGIN_REQUIRED"});
        config_["returns"] = {{"C_Login", {rv}}};
        return sign_listed(source(), ec.cert_der, one, DigestAlgorithm::Sha256, "1234").error();
    };
    EXPECT_EQ(login_result("CKR_PIN_LEN_RANGE").kind(), ErrorKind::PinIncorrect);
    EXPECT_EQ(login_result("CKR_PIN_LOCKED").kind(), ErrorKind::PinLocked);
    EXPECT_EQ(login_result("CKR_PIN_EXPIRED").detail(),
              "login no token: Function::Login: PKCS11 error: PinExpired");

    config_["returns"] = Json::object();
    config_["missing"] = {"C_Login"};
    EXPECT_EQ(
        sign_listed(source(), ec.cert_der, one, DigestAlgorithm::Sha256, "1234").error().detail(),
        "login no token: Calling a NULL function pointer");
}

TEST_F(TokenTest, BatchLogsInOnceAndStopsAtTheFirstFailure) {
    const TestKey& rsa = test_key(KeyKind::Rsa2048);
    add_keyed_token(rsa, {"CKF_TOKEN_INITIALIZED", "CKF_LOGIN_REQUIRED"});
    const std::vector<core::Bytes> three{digest_of(DigestAlgorithm::Sha256, "a"),
                                         digest_of(DigestAlgorithm::Sha256, "b"),
                                         digest_of(DigestAlgorithm::Sha256, "c")};
    auto sigs = sign_listed(source(), rsa.cert_der, three, DigestAlgorithm::Sha256, "1234");
    ASSERT_TRUE(sigs);
    ASSERT_EQ(sigs->size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(verify(rsa, DigestAlgorithm::Sha256, three[i], (*sigs)[i]));
    EXPECT_EQ(count("C_Login"), 1u);
    EXPECT_EQ(count("C_SignInit"), 3u);
    EXPECT_EQ(count("C_Sign"), 6u);
    EXPECT_EQ(count("C_Logout"), 1u);

    std::filesystem::remove(log_file());
    config_["returns"] = {{"C_Sign", {"ok", "ok", "CKR_DEVICE_ERROR"}}};
    auto failed = sign_listed(source(), rsa.cert_der, three, DigestAlgorithm::Sha256, "1234");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(),
              core::AgentError::sign_failed("Function::Sign: PKCS11 error: DeviceError"));
    EXPECT_EQ(count("C_SignInit"), 2u);
    EXPECT_EQ(count("C_Logout"), 1u);

    config_["returns"] = {{"C_SignInit", {"CKR_USER_NOT_LOGGED_IN"}}};
    EXPECT_EQ(
        sign_listed(source(), rsa.cert_der, three, DigestAlgorithm::Sha256, "1234").error().kind(),
        ErrorKind::PinRequired);
    config_["returns"] = {{"C_Sign", {"CKR_PIN_INCORRECT"}}};
    EXPECT_EQ(
        sign_listed(source(), rsa.cert_der, three, DigestAlgorithm::Sha256, "1234").error().kind(),
        ErrorKind::PinIncorrect);

    // A module that reports a zero length is still asked with a buffer, so
    // its operation ends and no empty signature passes for a good one.
    config_["returns"] = Json::object();
    config_["slots"][0]["token"]["objects"][1]["signature_length"] = 0;
    std::filesystem::remove(log_file());
    EXPECT_EQ(sign_listed(source(), rsa.cert_der, three, DigestAlgorithm::Sha256, "1234").error(),
              core::AgentError::sign_failed("Function::Sign: PKCS11 error: BufferTooSmall"));
    EXPECT_EQ(calls(log(), "C_Sign").back(), "C_Sign data=51 buffer=yes -> 0x150");
    config_["slots"][0]["token"]["objects"][1].erase("signature_length");

    std::filesystem::remove(log_file());
    auto none = sign_listed(source(), rsa.cert_der, {}, DigestAlgorithm::Sha256, "1234");
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    EXPECT_EQ(count("C_Logout"), 1u);
}

TEST_F(TokenTest, KeyIsFoundByTheCertificateId) {
    const TestKey& rsa = test_key(KeyKind::Rsa2048);
    const TestKey& ec = test_key(KeyKind::EcP256);
    const std::vector<core::Bytes> one{digest_of(DigestAlgorithm::Sha256)};

    // Two keys; the certificate's CKA_ID picks the second.
    add_token({{"label", "T"},
               {"objects", {key_object(rsa, "01"), key_object(ec, "02"), cert_object(ec, "02")}}});
    auto sig = sign_listed(source(), ec.cert_der, one, DigestAlgorithm::Sha256, std::nullopt);
    ASSERT_TRUE(sig) << sig.error().message();
    EXPECT_TRUE(verify(ec, DigestAlgorithm::Sha256, one[0], (*sig)[0]));
    EXPECT_EQ(calls(log(), "C_FindObjectsInit").back(), "C_FindObjectsInit class=3 id=02 -> 0x0");

    // When the identifier does not decide (none, empty, on several keys or
    // on none), the key whose public part is the certificate's signs, never
    // simply the first: read from the key, else from the public key object
    // sharing the key's identifier, its point bare or DER-wrapped. A key
    // that shows nothing signs only when no other candidate is left.
    const TestKey& other = test_key(KeyKind::EcP256, "Outro");
    auto with = [](Json object, const char* name, Json value) {
        object[name] = std::move(value);
        return object;
    };
    const Json no_id = {{"class", "certificate"}, {"value_file", ec.cert_file}};
    const Json hidden = with(key_object(ec, "07"), "public_parts", false);
    const Json hidden_other = with(key_object(other, "07"), "public_parts", false);
    auto public_of = [&](const TestKey& k, const char* id, const char* point) {
        return with(with(key_object(k, id), "class", "public_key"), "ec_point", point);
    };
    const std::vector<std::pair<Json, bool>> layouts = {
        {{key_object(rsa, "08"), key_object(other, "09"),
          with(key_object(ec, "07"), "ec_point", "raw"), no_id},
         true},
        {{key_object(other, "09"), hidden, public_of(ec, "07", "der"), with(no_id, "id", "")},
         true},
        {{with(key_object(other, "02"), "ec_point", "der"),
          with(key_object(ec, "02"), "ec_point", "der"), cert_object(ec, "02")},
         true},
        {{key_object(other, "09"), hidden, public_of(other, "09", "raw"), cert_object(ec, "05")},
         true},
        {{hidden_other, hidden, public_of(ec, "07", "raw"), public_of(other, "07", "der"), no_id},
         false},
        {{with(key_object(other, "09"), "ec_point", "der"), key_object(rsa, "08"), no_id}, false},
    };
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        config_["slots"] = Json::array();
        add_token({{"label", "T"}, {"objects", layouts[i].first}});
        auto r = sign_listed(source(), ec.cert_der, one, DigestAlgorithm::Sha256, std::nullopt);
        if (layouts[i].second) {
            ASSERT_TRUE(r) << i << ": " << r.error().message();
            EXPECT_TRUE(verify(ec, DigestAlgorithm::Sha256, one[0], (*r)[0])) << i;
        } else {
            EXPECT_EQ(r.error().kind(), ErrorKind::KeyNotFound) << i;
        }
    }

    // A certificate without its key, and a key without a key type.
    config_["slots"] = Json::array();
    add_token({{"label", "T"}, {"objects", {cert_object(ec, "02"), key_object(rsa, "01")}}});
    EXPECT_EQ(sign_listed(source(), ec.cert_der, one, DigestAlgorithm::Sha256, std::nullopt)
                  .error()
                  .kind(),
              ErrorKind::KeyNotFound);
    config_["slots"] = Json::array();
    Json typeless = key_object(ec);
    typeless["no_key_type"] = true;
    add_token({{"label", "T"}, {"objects", {cert_object(ec), typeless}}});
    EXPECT_EQ(sign_listed(source(), ec.cert_der, one, DigestAlgorithm::Sha256, std::nullopt)
                  .error()
                  .kind(),
              ErrorKind::KeyNotFound);
}

TEST_F(TokenTest, UnsupportedKeyTypeIsNamed) {
    const TestKey& ec = test_key(KeyKind::EcP256);
    const std::vector<core::Bytes> one{digest_of(DigestAlgorithm::Sha256)};
    for (auto [type, name] : {std::pair<Json, std::string>{"CKK_DSA", "CKK_DSA"},
                              std::pair<Json, std::string>{0x1234, "unknown (00001234)"}}) {
        config_["slots"] = Json::array();
        add_token(
            {{"label", "T"},
             {"objects",
              {cert_object(ec), {{"class", "private_key"}, {"id", "01"}, {"key_type", type}}}}});
        std::filesystem::remove(log_file());
        auto r = sign_listed(source(), ec.cert_der, one, DigestAlgorithm::Sha256, std::nullopt);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), core::AgentError::unsupported("tipo de chave " + name));
        EXPECT_EQ(count("C_SignInit"), 0u);
        EXPECT_EQ(count("C_Logout"), 1u);
    }
}

TEST_F(TokenTest, FirstTokenHoldingTheCertificateSigns) {
    const TestKey& ec = test_key(KeyKind::EcP256);
    const std::vector<core::Bytes> one{digest_of(DigestAlgorithm::Sha256)};
    const TestKey& other = test_key(KeyKind::EcP256, "Outro");
    add_token({{"label", "Sem"}, {"objects", {cert_object(other), key_object(other)}}}, 1);
    add_keyed_token(ec)["label"] = "Primeiro";
    config_["slots"].back()["id"] = 2;
    add_keyed_token(ec)["label"] = "Segundo";
    config_["slots"].back()["id"] = 3;
    // A module that fails to load is passed over silently.
    auto src = source({dir_.file("ausente.so"), token_module()});
    ASSERT_TRUE(sign_listed(src, ec.cert_der, one, DigestAlgorithm::Sha256, std::nullopt));
    auto inits = calls(log(), "C_SignInit");
    ASSERT_EQ(inits.size(), 1u);
    EXPECT_NE(inits[0].find("key=1002"), std::string::npos);  // slot index 1, second object

    // Not on any token.
    EXPECT_EQ(sign_listed(src, test_key(KeyKind::Rsa2048).cert_der, one, DigestAlgorithm::Sha256,
                          std::nullopt)
                  .error()
                  .kind(),
              ErrorKind::KeyNotFound);

    // A token that cannot be looked at is passed over.
    config_["returns"] = {{"C_OpenSession", {"CKR_DEVICE_ERROR"}}};
    EXPECT_TRUE(sign_listed(source(), ec.cert_der, one, DigestAlgorithm::Sha256, std::nullopt));
}

TEST_F(TokenTest, SigningGoesOnlyWhereTheListingMetTheCertificate) {
    const TestKey& ec = test_key(KeyKind::EcP256);
    add_keyed_token(ec, {"CKF_TOKEN_INITIALIZED", "CKF_LOGIN_REQUIRED"});
    const std::vector<core::Bytes> one{digest_of(DigestAlgorithm::Sha256)};
    auto src = source();
    auto request = src.open();
    const auto listed = request->list_certificates().certificates.at(0);
    // Another token in the slot since, a module past the list, a certificate
    // this source never listed: none of them is logged in to.
    auto swapped = listed;
    std::get<core::TokenLocator>(swapped.locator).token[0] ^= 1;
    auto beyond = listed;
    std::get<core::TokenLocator>(beyond.locator).module = 1;
    auto foreign = listed;
    foreign.locator = core::StoreLocator{0};
    for (const auto* certificate : {&swapped, &beyond, &foreign}) {
        auto r = request->sign(*certificate, one, DigestAlgorithm::Sha256, "1234");
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), ErrorKind::KeyNotFound);
    }
    EXPECT_EQ(count("C_Login"), 0u);
    ASSERT_TRUE(request->sign(listed, one, DigestAlgorithm::Sha256, "1234"));
    EXPECT_EQ(count("C_Initialize"), 1u);  // the listing's load signs too
}

TEST_F(TokenTest, AlwaysAuthenticateKeyLogsInForEveryHash) {
    const TestKey& ec = test_key(KeyKind::EcP256);
    Json key = key_object(ec);
    key["always_authenticate"] = true;
    add_token({{"label", "T"},
               {"flags", {"CKF_TOKEN_INITIALIZED", "CKF_LOGIN_REQUIRED"}},
               {"pin", "1234"},
               {"objects", {cert_object(ec), key}}});
    const std::vector<core::Bytes> three(3, digest_of(DigestAlgorithm::Sha256));
    auto sigs = sign_listed(source(), ec.cert_der, three, DigestAlgorithm::Sha256, "1234");
    ASSERT_TRUE(sigs) << sigs.error().message();
    EXPECT_EQ(sigs->size(), 3u);
    auto logins = calls(log(), "C_Login");
    ASSERT_EQ(logins.size(), 4u);
    EXPECT_EQ(logins[0], "C_Login user=1 pin=1234 len=4 -> 0x0");
    EXPECT_EQ(logins[1], "C_Login user=2 pin=1234 len=4 -> 0x0");

    // A wrong PIN on the context login is reported like any wrong PIN.
    config_["returns"] = {{"C_Login", {"ok", "CKR_PIN_INCORRECT"}}};
    EXPECT_EQ(
        sign_listed(source(), ec.cert_der, three, DigestAlgorithm::Sha256, "1234").error().kind(),
        ErrorKind::PinIncorrect);

    // A protected authentication path takes the key's PIN too, even on a
    // token that needs no login.
    config_["returns"] = Json::object();
    config_["slots"][0]["token"]["flags"] = {"CKF_TOKEN_INITIALIZED",
                                             "CKF_PROTECTED_AUTHENTICATION_PATH"};
    std::filesystem::remove(log_file());
    ASSERT_TRUE(sign_listed(source(), ec.cert_der, three, DigestAlgorithm::Sha256, "1234"));
    EXPECT_EQ(calls(log(), "C_Login"),
              std::vector<std::string>(3, "C_Login user=2 pin=null len=0 -> 0x0"));
}

TEST_F(TokenTest, FailedSessionCloseIsLoggedAsError) {
    std::ostringstream captured;
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(captured);
    auto logger = log::target("tolvex_pkcs11");
    logger->sinks().push_back(sink);

    const TestKey& ec = test_key(KeyKind::EcP256);
    add_keyed_token(ec);
    config_["returns"] = {{"C_CloseSession", {"CKR_DEVICE_REMOVED"}}};
    const std::vector<core::Bytes> one{digest_of(DigestAlgorithm::Sha256)};
    EXPECT_TRUE(sign_listed(source(), ec.cert_der, one, DigestAlgorithm::Sha256, std::nullopt));
    logger->sinks().pop_back();
    EXPECT_NE(captured.str().find("error"), std::string::npos);
    EXPECT_NE(captured.str().find("Function::CloseSession: PKCS11 error: DeviceRemoved"),
              std::string::npos);
}

TEST_F(TokenTest, ModulesAreFinalizedAndLoadedOncePerRequest) {
    const TestKey& ec = test_key(KeyKind::EcP256);
    add_keyed_token(ec);
    // A thread that runs in the module from C_Initialize to C_Finalize: an
    // unload without C_Finalize would crash this test.
    config_["worker_thread"] = true;
    const std::vector<core::Bytes> one{digest_of(DigestAlgorithm::Sha256)};
    auto src = source({token_module(), token_module()});
    for (int round = 0; round < 10; ++round) {
        std::filesystem::remove(log_file());
        {
            auto request = src.open();
            EXPECT_EQ(request->list_certificates().certificates.size(), 2u);
            ASSERT_TRUE(
                sign_listed(*request, ec.cert_der, one, DigestAlgorithm::Sha256, std::nullopt));
            EXPECT_EQ(request->list_tokens().tokens.size(), 2u);
            EXPECT_EQ(count("C_Finalize"), 0u);
        }
        EXPECT_EQ(calls(log(), "C_Initialize"),
                  std::vector<std::string>{"C_Initialize flags=0x2 worker=started -> 0x0"});
        EXPECT_EQ(calls(log(), "C_Finalize"),
                  std::vector<std::string>{"C_Finalize reserved=null -> 0x0"});
    }
    // Each request has its own load.
    std::filesystem::remove(log_file());
    src.open()->list_certificates();
    EXPECT_EQ(count("C_Initialize"), 1u);
    EXPECT_EQ(count("C_Finalize"), 1u);

    // Someone else's initialisation is left alone.
    config_.erase("worker_thread");
    config_["returns"] = {{"C_Initialize", {"CKR_CRYPTOKI_ALREADY_INITIALIZED"}}};
    std::filesystem::remove(log_file());
    EXPECT_EQ(source().open()->list_certificates().certificates.size(), 1u);
    EXPECT_EQ(count("C_Finalize"), 0u);
}

TEST_F(TokenTest, SizesAModuleReportsAreBounded) {
    const TestKey& ec = test_key(KeyKind::EcP256);
    // Past any bound, and within a 32-bit CK_ULONG.
    const CK_ULONG absurd = 0xFFFFFFF0;
    const std::string n = std::to_string(absurd);
    config_["slot_count"] = absurd;
    auto listing = source().open()->list_certificates();
    ASSERT_EQ(listing.warnings.size(), 1u);
    EXPECT_EQ(listing.warnings[0].message,
              "Function::GetSlotList: slot count " + n + " exceeds the limit of 1024");
    config_.erase("slot_count");

    // Each hostile token gives its warning; the well-behaved one still lists.
    Json huge = cert_object(ec);
    huge["value_length"] = absurd;
    add_token({{"label", "Grande"}, {"objects", {huge}}}, 1);
    add_token({{"label", "Sem fim"}, {"endless_search", true}, {"objects", {cert_object(ec)}}}, 2);
    const core::Bytes mebibyte(std::size_t{1} << 20, 0x30);
    write_file(dir_.file("big.der"), std::string(mebibyte.begin(), mebibyte.end()));
    add_token({{"label", "Cheio"},
               {"objects",
                {{{"class", "certificate"},
                  {"value_file", dir_.file("big.der").string()},
                  {"count", 17}}}}},
              3);
    add_keyed_token(ec)["label"] = "Bom";
    config_["slots"].back()["id"] = 4;
    listing = source().open()->list_certificates();
    ASSERT_EQ(listing.certificates.size(), 1u);
    EXPECT_EQ(listing.certificates[0].location, "Bom");
    const std::string module = token_module().string();
    EXPECT_EQ(listing.warnings,
              (std::vector<core::SourceWarning>{
                  {module + "/Grande", "Function::GetAttributeValue: value length " + n +
                                           " exceeds the limit of 1048576"},
                  {module + "/Sem fim",
                   "Function::FindObjects: handle count 10010 exceeds the limit of 10000"},
                  {module + "/Cheio",
                   "Function::GetAttributeValue: total value length 17825792 "
                   "exceeds the limit of 16777216"}}));

    config_["slots"] = Json::array();
    add_keyed_token(ec)["objects"][1]["signature_length"] = absurd;
    const std::vector<core::Bytes> one{digest_of(DigestAlgorithm::Sha256)};
    EXPECT_EQ(
        sign_listed(source(), ec.cert_der, one, DigestAlgorithm::Sha256, std::nullopt).error(),
        core::AgentError::sign_failed("Function::Sign: signature length " + n +
                                      " exceeds the limit of 65536"));
}

TEST_F(TokenTest, PinTriesThatCannotSucceedAreNotSpent) {
    const TestKey& ec = test_key(KeyKind::EcP256);
    const std::vector<core::Bytes> one{digest_of(DigestAlgorithm::Sha256)};
    auto sign = [&](core::PinView pin) {
        return sign_listed(source(), ec.cert_der, one, DigestAlgorithm::Sha256, pin);
    };
    // A token that reports its PIN locked, with or without a PIN given, and
    // on the protected authentication path too.
    for (const char* path : {"CKF_LOGIN_REQUIRED", "CKF_PROTECTED_AUTHENTICATION_PATH"}) {
        config_["slots"] = Json::array();
        add_keyed_token(
            ec, {"CKF_TOKEN_INITIALIZED", "CKF_LOGIN_REQUIRED", "CKF_USER_PIN_LOCKED", path});
        EXPECT_EQ(sign("1234").error().kind(), ErrorKind::PinLocked);
        EXPECT_EQ(sign(std::nullopt).error().kind(), ErrorKind::PinLocked);
    }
    EXPECT_EQ(count("C_Login"), 0u);

    // A PIN outside the lengths the token accepts.
    config_["slots"] = Json::array();
    Json& token = add_keyed_token(ec, {"CKF_TOKEN_INITIALIZED", "CKF_LOGIN_REQUIRED"});
    token["min_pin_len"] = 4;
    token["max_pin_len"] = 8;
    for (const std::string& pin :
         {std::string("123"), std::string("123456789"), std::string(900 * 1024, '1')})
        EXPECT_EQ(sign(pin).error(), core::AgentError(ErrorKind::PinIncorrect)) << pin.size();
    EXPECT_EQ(count("C_Login"), 0u);
    EXPECT_TRUE(sign("1234"));
    EXPECT_EQ(count("C_Login"), 1u);
}

}  // namespace
}  // namespace tolvex::test
