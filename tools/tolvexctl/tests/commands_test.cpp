#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "commands.hpp"
#include "display.hpp"
#include "messages.hpp"

namespace tolvexctl {
namespace {

using nlohmann::json;

json certificate(std::string cn, json pki, json sources, std::string until) {
    return {{"thumbprint", std::string(64, 'a')},
            {"subject_cn", cn},
            {"issuer_cn", "AC EXEMPLO"},
            {"not_before", "2024-01-02T03:04:05Z"},
            {"not_after", until},
            {"pki_brazil", pki},
            {"sources", sources}};
}

TEST(CertificateList, ReadableInEightyColumns) {
    json result = {
        {"certificates",
         {certificate("JOÃO DA SILVA:12345678909", {{"cpf", "12345678909"}, {"cnpj", nullptr}},
                      {{{"kind", "pkcs11"},
                        {"label", "tolvex-demo"},
                        {"requires_pin", true},
                        {"key_storage", "token"}}},
                      "2027-01-02T03:04:05Z"),
          certificate(std::string(64, 'E'), {{"cpf", "12345678909"}, {"cnpj", "11222333000181"}},
                      {{{"kind", "os"},
                        {"label", "MY"},
                        {"requires_pin", false},
                        {"key_storage", "file"},
                        {"provider", "Microsoft Enhanced RSA and AES Cryptographic Provider"}},
                       {{"kind", "pkcs11"},
                        {"label", "outro token com um nome comprido"},
                        {"requires_pin", true},
                        {"key_storage", "token"}}},
                      "2025-06-30T23:59:59Z")}},
        {"warnings", json::array()}};
    const std::string text = format_certificates(result, "2026-01-15");
    std::istringstream lines(text);
    for (std::string l; std::getline(lines, l);)
        EXPECT_LE(text_width(l), kColumns) << l;
    // The name without the CPF suffix, the CPF formatted beside it.
    EXPECT_NE(text.find("JOÃO DA SILVA · CPF 123.456.789-09\n"), std::string::npos) << text;
    EXPECT_NE(text.find("válido de 02/01/2024 a 02/01/2027, emitido por AC EXEMPLO"),
              std::string::npos);
    EXPECT_NE(text.find("chave no token \"tolvex-demo\", pede PIN"), std::string::npos);
    EXPECT_NE(text.find("CNPJ 11.222.333/0001-81"), std::string::npos) << "CNPJ wins over CPF";
    EXPECT_NE(text.find("VENCIDO em 30/06/2025"), std::string::npos);
    // The thumbprint stays whole on its line, to be copied in one piece.
    EXPECT_NE(text.find("  impressão: " + std::string(64, 'a') + "\n"), std::string::npos);
}

TEST(CertificateList, EmptyAndMalformedResultsDoNotThrow) {
    EXPECT_EQ(format_certificates(json::object(), "2026-01-01"), "nenhum certificado encontrado\n");
    EXPECT_EQ(format_tokens({{"tokens", json::array()}, {"warnings", json::array()}}),
              "nenhum token encontrado\n");
    EXPECT_NO_THROW(format_certificates({{"certificates", {{{"subject_cn", 5}}}}}, "2026-01-01"));
    EXPECT_NO_THROW(format_pong(json::object(), AgentSetup{}));
}

TEST(Messages, ModuleFailuresInPlainWords) {
    const std::filesystem::path here = TOLVEXCTL_FAKE_AGENT;  // a file that exists
    EXPECT_EQ(explain_module_failure("libloading error (LoadLibraryExW failed)", "/nao/existe.so"),
              "o arquivo não existe");
    EXPECT_EQ(explain_module_failure("Missing PKCS#11 symbol: C_GetFunctionList", here),
              "o arquivo é uma biblioteca, mas não um módulo PKCS#11");
    EXPECT_EQ(explain_module_failure("Function::Initialize: PKCS11 error: CantLock", here),
              "falha ao iniciar o módulo: o módulo não aceita ser usado por vários programas ao "
              "mesmo tempo");
    EXPECT_EQ(explain_module_failure("Function::Frobnicate: PKCS11 error: VendorDefined", here),
              "o módulo respondeu VendorDefined");
    EXPECT_EQ(explain_error("sign_failed",
                            "falha ao assinar: login no token: Function::Login: PKCS11 error: "
                            "PinExpired"),
              "falha ao assinar: o token recusou o PIN: PIN vencido: troque-o com o programa do "
              "fabricante");
    EXPECT_EQ(explain_config_error("expected `,` or `}` at line 3 column 5"),
              "falta \",\" ou \"}\", linha 3, coluna 5");
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

// dpkg's own query against a database of ours, in which a package owns the
// manifest: neither install nor uninstall may touch it.
TEST(Install, LeavesFilesOfAPackageAlone) {
    if (std::system("dpkg-query --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "dpkg-query is not installed";
    const auto root =
        std::filesystem::temp_directory_path() / ("tolvexctl-dpkg-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "db/info");
    std::filesystem::create_directories(root / "db/updates");
    std::filesystem::create_directories(root / "hosts");
    const auto manifest = root / "hosts/br.com.tolvex.agent.json";
    std::ofstream(root / "db/status") << "Package: tolvex-agent\nStatus: install ok installed\n"
                                         "Version: 1\nArchitecture: amd64\n"
                                         "Maintainer: x <x@example.com>\nDescription: x\n\n";
    std::ofstream(root / "db/info/tolvex-agent.list") << manifest.string() << "\n";
    std::ofstream(manifest) << "{}";
    ::setenv("DPKG_ADMINDIR", (root / "db").c_str(), 1);

    Options o;
    o.browsers = {Browser::chromium};
    o.agent = "/opt/tolvex/tolvex_agent";
    o.dir = root / "hosts";
    std::istringstream in;
    for (const char* command : {"install", "uninstall"}) {
        o.command = command;
        std::ostringstream out, err;
        EXPECT_EQ(run(o, in, out, err), kExitFailure) << command;
        EXPECT_NE(err.str().find("pertence ao pacote tolvex-agent"), std::string::npos)
            << err.str();
        std::ifstream f(manifest);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), "{}") << command;
    }
    ::unsetenv("DPKG_ADMINDIR");
    std::filesystem::remove_all(root);
}
#endif

}  // namespace
}  // namespace tolvexctl
