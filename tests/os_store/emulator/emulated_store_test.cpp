#include <gtest/gtest.h>

#include "sign_listed.hpp"

#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "emulated_store.hpp"
#include "test_certs.hpp"
#include "tolvex/os_store/store_source.hpp"

namespace tolvex::testing {
namespace {

using core::DigestAlgorithm;
using core::ErrorKind;
using nlohmann::json;
namespace fs = std::filesystem;

class EmulatedStore : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tolvex-emu-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        ::unsetenv(os_store::EMULATED_STORE_VARIABLE);
        fs::remove_all(dir_);
    }

    // Writes the certificate and key files and returns a store entry for them.
    json entry(const std::string& name, const TestCertificate& cert, json key) {
        write(name + ".der", std::string(cert.der.begin(), cert.der.end()));
        write(name + ".pem", cert.key_pem);
        key["pem"] = name + ".pem";
        return json{{"der", name + ".der"},
                    {"key_provider", {{"provider", "Emulated Key Storage Provider"}}},
                    {"key", key}};
    }
    void use(json store) {
        store["call_log"] = "calls.log";
        write("store.json", store.dump());
        ::setenv(os_store::EMULATED_STORE_VARIABLE, (dir_ / "store.json").c_str(), 1);
    }
    void write(const std::string& name, const std::string& content) {
        std::ofstream(dir_ / name, std::ios::binary) << content;
    }
    std::string call_log() {
        std::ifstream in(dir_ / "calls.log");
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path dir_;
    os_store::WindowsStoreSource source{os_store::emulated_store_api()};
};

const TestCertificate& rsa() {
    static const TestCertificate c = make_test_certificate("Emu RSA");
    return c;
}
const TestCertificate& ec() {
    static const TestCertificate c = make_test_certificate("Emu EC", TestKeyType::EcP256);
    return c;
}

TEST_F(EmulatedStore, UnsetVariableIsAnEmptyStoreAndABrokenFileAWarning) {
    auto listing = source.open()->list_certificates();
    EXPECT_TRUE(listing.certificates.empty());
    EXPECT_TRUE(listing.warnings.empty());

    write("store.json", "{ not json");
    ::setenv(os_store::EMULATED_STORE_VARIABLE, (dir_ / "store.json").c_str(), 1);
    listing = source.open()->list_certificates();
    ASSERT_EQ(listing.warnings.size(), 1u);
    EXPECT_EQ(listing.warnings[0].message, "CertOpenStore falhou (erro 13)");

    use(json{{"open_error", 5}});
    listing = source.open()->list_certificates();
    ASSERT_EQ(listing.warnings.size(), 1u);
    EXPECT_EQ(listing.warnings[0].message, "CertOpenStore falhou (erro 5)");
}

TEST_F(EmulatedStore, SignsAsThePlatformProvidersDo) {
    use(json{
        {"certificates",
         {entry("cng-rsa", rsa(), {{"api", "cng"}, {"pin", "1234"}}),
          entry("cng-ec", ec(), {{"api", "cng"}}),
          entry("capi", make_test_certificate("Emu CAPI"), {{"api", "capi"}, {"key_spec", 1}})}}});
    const auto listing = source.open()->list_certificates();
    ASSERT_EQ(listing.certificates.size(), 3u);
    EXPECT_EQ(listing.certificates[0].provider, "Emulated Key Storage Provider");

    for (const auto& [alg, name] : {std::pair{DigestAlgorithm::Sha256, "SHA256"},
                                    std::pair{DigestAlgorithm::Sha384, "SHA384"},
                                    std::pair{DigestAlgorithm::Sha512, "SHA512"}}) {
        const auto digest = sha_digest(name, "dados");
        for (const auto& cert : listing.certificates) {
            const auto sig = test::sign_listed_one(source, cert.der, digest, alg, "1234");
            ASSERT_TRUE(sig.has_value()) << name << ": " << sig.error().message();
            EXPECT_TRUE(verify_digest_signature(cert.der, name, digest, *sig)) << name;
        }
    }
    const auto log = call_log();
    EXPECT_NE(log.find("NCryptSignHash key="), std::string::npos);
    EXPECT_NE(log.find("padding=SHA384 flags=2"), std::string::npos);
    EXPECT_NE(log.find("CryptCreateHash provider="), std::string::npos);
    EXPECT_NE(log.find("alg=0x0000800E"), std::string::npos);
    EXPECT_EQ(log.find("1234"), std::string::npos);  // the PIN never reaches the log
}

TEST_F(EmulatedStore, PinAndScriptedStatuses) {
    json cng = entry("cng", rsa(), {{"api", "cng"}, {"pin", "1234"}});
    json capi = entry("capi", ec(), {{"api", "capi"}, {"key_spec", 2}});
    json scripted = entry("scripted", make_test_certificate("Emu Scripted"), {{"api", "cng"}});
    scripted["errors"] = {{"NCryptSignHash#2", "0x8010006C"}};
    use(json{{"certificates", {cng, capi, scripted}}});
    const auto digest = sha_digest("SHA256", "x");
    const auto certs = source.open()->list_certificates().certificates;
    ASSERT_EQ(certs.size(), 3u);

    auto sig = test::sign_listed_one(source, certs[0].der, digest, DigestAlgorithm::Sha256, "9999");
    ASSERT_FALSE(sig);
    EXPECT_EQ(sig.error().kind(), ErrorKind::PinIncorrect);
    sig =
        test::sign_listed_one(source, certs[0].der, digest, DigestAlgorithm::Sha256, std::nullopt);
    ASSERT_FALSE(sig);
    EXPECT_EQ(sig.error().kind(), ErrorKind::UserCancelled);

    sig = test::sign_listed_one(source, certs[1].der, digest, DigestAlgorithm::Sha256, "1");
    ASSERT_FALSE(sig);
    EXPECT_EQ(sig.error().detail(), "ECDSA em provedor CAPI legado");

    sig =
        test::sign_listed_one(source, certs[2].der, digest, DigestAlgorithm::Sha256, std::nullopt);
    ASSERT_FALSE(sig);
    EXPECT_EQ(sig.error().kind(), ErrorKind::PinLocked);

    // Every handle the emulation gave out came back.
    const auto log = call_log();
    auto count = [&](const std::string& what) {
        std::size_t n = 0;
        for (auto p = log.find(what); p != std::string::npos; p = log.find(what, p + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("CertOpenStore "), count("CertCloseStore "));
    EXPECT_EQ(count("CryptAcquireCertificatePrivateKey") - 1,  // the CAPI one
              count("NCryptFreeObject"));
    EXPECT_EQ(count("CryptReleaseContext"), 1u);
}

}  // namespace
}  // namespace tolvex::testing
