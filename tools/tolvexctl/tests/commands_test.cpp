#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "commands.hpp"

namespace tolvexctl {
namespace {

using nlohmann::json;

json certificate(std::string cn, json pki, json sources) {
    return {{"thumbprint", std::string(64, 'a')},
            {"subject_cn", cn},
            {"not_before", "2024-01-02T03:04:05Z"},
            {"not_after", "2027-01-02T03:04:05Z"},
            {"pki_brazil", pki},
            {"sources", sources}};
}

TEST(CertificateTable, ShowsDocumentValidityKeyPlacesAndWarnings) {
    json result = {
        {"certificates",
         {certificate("JOÃO DA SILVA:12345678901", {{"cpf", "12345678901"}, {"cnpj", nullptr}},
                      {{{"kind", "pkcs11"},
                        {"label", "tolvex-demo"},
                        {"requires_pin", true},
                        {"key_storage", "token"}}}),
          certificate("EMPRESA LTDA", {{"cpf", "12345678901"}, {"cnpj", "12345678000199"}},
                      {{{"kind", "os"},
                        {"label", "MY"},
                        {"requires_pin", false},
                        {"key_storage", "file"},
                        {"provider", "Software Key Storage"}}})}},
        {"warnings", {{{"source", "/x.so"}, {"message", "falhou"}}}}};
    const std::string table = format_certificates(result);
    std::istringstream lines(table);
    std::vector<std::string> rows;
    for (std::string l; std::getline(lines, l);)
        rows.push_back(l);
    ASSERT_EQ(rows.size(), 4u) << table;
    EXPECT_NE(rows[1].find("CPF 12345678901"), std::string::npos);
    EXPECT_NE(rows[1].find("2024-01-02 a 2027-01-02"), std::string::npos);
    EXPECT_NE(rows[1].find("tolvex-demo (pkcs11, token, PIN)"), std::string::npos);
    EXPECT_NE(rows[2].find("CNPJ 12345678000199"), std::string::npos) << "CNPJ wins over CPF";
    EXPECT_NE(rows[2].find("MY (os, file, Software Key Storage)"), std::string::npos);
    EXPECT_EQ(rows[3], "aviso: /x.so: falhou");
    // Columns line up by characters, not bytes: the thumbprint column starts
    // at the same place on every row although row 1 holds a two-byte "Ã".
    const auto col = [](const std::string& r) {
        return text_width(r.substr(0, r.find(std::string(64, 'a'))));
    };
    EXPECT_EQ(col(rows[1]), col(rows[2]));
}

TEST(CertificateTable, EmptyAndMalformedResultsDoNotThrow) {
    EXPECT_EQ(format_certificates(json::object()), "nenhum certificado encontrado\n");
    EXPECT_EQ(format_tokens({{"tokens", json::array()}, {"warnings", json::array()}}),
              "nenhum token encontrado\n");
    EXPECT_NO_THROW(format_certificates({{"certificates", {{{"subject_cn", 5}}}}}));
    EXPECT_NO_THROW(format_pong(json::object()));
}

#ifndef _WIN32
TEST(Install, WritesAndRemovesManifestsWhereChromiumReadsThem) {
    const auto home =
        std::filesystem::temp_directory_path() / ("tolvexctl-home-" + std::to_string(::getpid()));
    std::filesystem::remove_all(home);
    ::setenv("HOME", home.c_str(), 1);
    Options o;
    o.command = "install";
    o.browsers = {Browser::chromium, Browser::firefox};
    o.agent = "/opt/tolvex/tolvex_agent";
    std::istringstream in;
    std::ostringstream out, err;
    ASSERT_EQ(run(o, in, out, err), kExitOk) << err.str();
    const auto chromium = home / ".config/chromium/NativeMessagingHosts/br.com.tolvex.agent.json";
    std::ifstream f(chromium);
    const json m = json::parse(f);
    EXPECT_EQ(m["allowed_origins"], json({"chrome-extension://ngdffiogcclincbckcnpmknjmklpfnkh/"}));
    EXPECT_EQ(m["path"], "/opt/tolvex/tolvex_agent");
    EXPECT_TRUE(
        std::filesystem::exists(home / ".mozilla/native-messaging-hosts/br.com.tolvex.agent.json"));

    o.command = "uninstall";
    ASSERT_EQ(run(o, in, out, err), kExitOk) << err.str();
    EXPECT_FALSE(std::filesystem::exists(chromium));
    std::filesystem::remove_all(home);
}
#endif

}  // namespace
}  // namespace tolvexctl
