#include <gtest/gtest.h>

#include "commands.hpp"
#include "fake_source.hpp"
#include "test_certs.hpp"
#include "tolvex/core/base64.hpp"
#include "tolvex/core/cert.hpp"
#include "tolvex/core/key_storage.hpp"

namespace tolvex::agent {
namespace {

using testing::CertSpec;
using testing::FakeSource;
using testing::make_cert;

struct Fixture : ::testing::Test {
    HandlerContext context;
    FakeSource* os = nullptr;
    FakeSource* p11 = nullptr;

    void SetUp() override {
        auto a = std::make_unique<FakeSource>(core::SourceKind::Os);
        auto b = std::make_unique<FakeSource>(core::SourceKind::Pkcs11);
        os = a.get();
        p11 = b.get();
        context.sources.push_back(std::move(a));
        context.sources.push_back(std::move(b));
    }

    Certificates list() {
        auto r = list_certificates(context, Request{});
        EXPECT_TRUE(r.has_value());
        return std::get<Certificates>(*r);
    }
    std::string list_json() { return result_json(*list_certificates(context, Request{})).dump(); }
};

Request with_thumbprint(std::optional<std::string> thumbprint) {
    Request r;
    r.command = "read_certificate";
    r.thumbprint = std::move(thumbprint);
    return r;
}

std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

TEST_F(Fixture, EmptySourcesGiveEmptyListsWithTheirKeys) {
    EXPECT_EQ(list_json(), R"({"certificates":[],"warnings":[]})");
    EXPECT_EQ(result_json(*list_tokens(context, Request{})).dump(),
              R"({"tokens":[],"warnings":[]})");
}

TEST_F(Fixture, TokensAndTheirWarningsPassThroughInOrder) {
    p11->tokens.tokens = {{"/m1.so", 7, "L", "M", "Mo", "S"}, {"/m2.so", 1, "", "", "", ""}};
    p11->tokens.warnings = {{"/bad.so", "libloading error (x)"}, {"/b2.so", "y"}};
    EXPECT_EQ(
        result_json(*list_tokens(context, Request{})).dump(),
        R"({"tokens":[{"module":"/m1.so","slot_id":7,"label":"L","manufacturer":"M","model":"Mo","serial_number":"S"},)"
        R"({"module":"/m2.so","slot_id":1,"label":"","manufacturer":"","model":"","serial_number":""}],)"
        R"j("warnings":[{"module":"/bad.so","message":"libloading error (x)"},)j"
        R"j({"module":"/b2.so","message":"y"}]})j");
}

TEST_F(Fixture, SameCertificateInBothSourcesIsOneSummaryWithTheOsEntryFirst) {
    auto cert = make_cert({.common_name = "Maria"});
    p11->add(cert.der, "Token A", true, std::nullopt, core::KeyStorage::Token);
    os->add(cert.der, "MY", false, "Example Smart Card Key Storage Provider",
            core::KeyStorage::Token);
    auto certs = list();
    ASSERT_EQ(certs.certificates.size(), 1u);
    const auto& sources = certs.certificates[0].sources;
    ASSERT_EQ(sources.size(), 2u);
    EXPECT_EQ(sources[0].kind, core::SourceKind::Os);
    EXPECT_EQ(sources[1].kind, core::SourceKind::Pkcs11);
    const std::string json = list_json();
    EXPECT_NE(
        json.find(
            R"("sources":[{"kind":"os","label":"MY","requires_pin":false,)"
            R"("key_storage":"token","provider":"Example Smart Card Key Storage Provider"},)"
            R"({"kind":"pkcs11","label":"Token A","requires_pin":true,"key_storage":"token"}])"),
        std::string::npos)
        << json;
}

TEST_F(Fixture, RepeatedIdenticalEntriesCollapseButDifferentOnesStay) {
    auto cert = make_cert({});
    p11->add(cert.der, "Token A", true);
    p11->add(cert.der, "Token A", true);          // a module listed twice
    p11->add(cert.der, "Token B", true);          // a second token
    p11->add(cert.der, "Token B", true, "prov");  // absent and present providers differ
    auto certs = list();
    ASSERT_EQ(certs.certificates.size(), 1u);
    ASSERT_EQ(certs.certificates[0].sources.size(), 3u);
    EXPECT_EQ(certs.certificates[0].sources[1].label, "Token B");
    EXPECT_EQ(certs.certificates[0].sources[2].provider, "prov");
}

TEST_F(Fixture, SortedBytewiseBySubjectNameThenThumbprint) {
    auto ze = make_cert({.common_name = "Zé"});
    auto zeca = make_cert({.common_name = "Zeca"});
    auto ana_maria = make_cert({.common_name = "Ana Maria"});
    auto ana1 = make_cert({.common_name = "Ana", .serial = 1});
    auto ana2 = make_cert({.common_name = "Ana", .serial = 2});
    for (auto* c : {&ze, &zeca, &ana_maria, &ana1, &ana2})
        os->add(c->der);
    auto certs = list();
    ASSERT_EQ(certs.certificates.size(), 5u);
    std::vector<std::string> names;
    for (const auto& s : certs.certificates)
        names.push_back(s.subject_name);
    EXPECT_EQ(names,
              (std::vector<std::string>{"CN=Ana", "CN=Ana", "CN=Ana Maria", "CN=Zeca", "CN=Zé"}));
    EXPECT_LT(certs.certificates[0].thumbprint, certs.certificates[1].thumbprint);
}

TEST_F(Fixture, CaCertificateIsHiddenFromListingButFoundByThumbprint) {
    auto ca = make_cert({.common_name = "AC Raiz", .is_ca = true});
    os->add(ca.der);
    EXPECT_TRUE(list().certificates.empty());
    EXPECT_TRUE(list().warnings.empty());
    RequestSources sources(context);
    auto found = find_certificate(sources, core::compute_thumbprint(ca.der));
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ((*found)->der, ca.der);
}

TEST_F(Fixture, UnparseableCertificatesBecomeWarningsNamedAfterTheSourceKind) {
    auto good = make_cert({});
    os->listing.warnings = {{"MY", "CertOpenStore falhou (erro 2)"}};
    os->add(core::Bytes{0x30, 0x03, 0x02, 0x01});
    p11->listing.warnings = {{"/m.so/Token", "Function::FindObjects: PKCS11 error: GeneralError"}};
    p11->add(core::Bytes{0x01});
    p11->add(good.der);
    auto certs = list();
    ASSERT_EQ(certs.certificates.size(), 1u);
    ASSERT_EQ(certs.warnings.size(), 4u);
    EXPECT_EQ(certs.warnings[0], (core::SourceWarning{"MY", "CertOpenStore falhou (erro 2)"}));
    EXPECT_EQ(certs.warnings[1].origin, "Os");
    EXPECT_EQ(certs.warnings[1].message.rfind("X.509 inválido: ", 0), 0u);
    EXPECT_EQ(certs.warnings[2].origin, "/m.so/Token");
    EXPECT_EQ(certs.warnings[3].origin, "Pkcs11");
    EXPECT_NE(list_json().find(R"("warnings":[{"source":"MY","message":)"), std::string::npos);
}

TEST_F(Fixture, ReadCertificateMatchesThumbprintsExactlyApartFromAsciiCase) {
    auto cert = make_cert({});
    p11->add(cert.der);
    const std::string tp = core::compute_thumbprint(cert.der);

    auto found = read_certificate(context, with_thumbprint(upper(tp)));
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(result_json(*found).dump(), R"({"thumbprint":")" + tp + R"(","certificate":")" +
                                              core::base64_encode(cert.der) + R"("})");

    std::string spaced, coloned;
    for (std::size_t i = 0; i < tp.size(); i += 2) {
        spaced += (i ? " " : "") + tp.substr(i, 2);
        coloned += (i ? ":" : "") + tp.substr(i, 2);
    }
    const CommandFailure not_found{"certificate_not_found", "certificado não encontrado"};
    for (const std::string& t : {spaced, coloned, tp.substr(0, 40), std::string(), " " + tp}) {
        auto r = read_certificate(context, with_thumbprint(t));
        ASSERT_FALSE(r.has_value()) << t;
        EXPECT_EQ(r.error(), not_found);
    }
    auto missing = read_certificate(context, with_thumbprint(std::nullopt));
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), CommandFailure::invalid_request("thumbprint é obrigatório"));
}

TEST_F(Fixture, FirstSourceHoldingTheCertificateWins) {
    auto cert = make_cert({});
    os->add(cert.der);
    p11->add(cert.der);
    RequestSources sources(context);
    ASSERT_TRUE(find_certificate(sources, core::compute_thumbprint(cert.der)).has_value());
    EXPECT_EQ(os->list_calls, 1);
    EXPECT_EQ(p11->list_calls, 0);
}

}  // namespace
}  // namespace tolvex::agent
