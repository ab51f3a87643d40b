#include <gtest/gtest.h>

#include "commands.hpp"
#include "fake_source.hpp"
#include "test_certs.hpp"
#include "tolvex/core/base64.hpp"
#include "tolvex/core/cert.hpp"
#include "tolvex/core/digest.hpp"

namespace tolvex::agent {
namespace {

using core::AgentError;
using core::ErrorKind;
using testing::FakeSource;
using testing::make_cert;

std::string b64(const core::Bytes& b) {
    return core::base64_encode(b);
}
core::Bytes bytes(std::size_t n, std::uint8_t fill = 0xAB) {
    return core::Bytes(n, fill);
}

// The sources opened for one request, as sign opens them.
core::Result<std::vector<core::Bytes>> sign_with_sources(const HandlerContext& context,
                                                         std::string_view thumbprint,
                                                         std::span<const core::Bytes> digests,
                                                         core::DigestAlgorithm alg,
                                                         core::PinView pin) {
    RequestSources sources(context);
    return agent::sign_with_sources(sources, thumbprint, digests, alg, pin);
}

struct SignFixture : ::testing::Test {
    HandlerContext context;
    FakeSource* os = nullptr;
    FakeSource* p11 = nullptr;
    testing::TestCert cert = make_cert({.common_name = "Signer"});
    std::string tp = core::compute_thumbprint(cert.der);

    // Signatures that verify, as a source holding the certificate's key makes.
    static core::Result<std::vector<core::Bytes>> real_signatures(const testing::SignCall& call) {
        std::vector<core::Bytes> out;
        for (const core::Bytes& digest : call.digests)
            out.push_back(testing::sign_with_key_of(call.der, digest, call.alg));
        return out;
    }

    void SetUp() override {
        auto a = std::make_unique<FakeSource>(core::SourceKind::Os);
        auto b = std::make_unique<FakeSource>(core::SourceKind::Pkcs11);
        os = a.get();
        p11 = b.get();
        os->on_sign = p11->on_sign = real_signatures;
        context.sources.push_back(std::move(a));
        context.sources.push_back(std::move(b));
    }

    Request request() {
        Request r;
        r.id = "1";
        r.command = "sign";
        r.thumbprint = tp;
        return r;
    }
    CommandFailure fails(const Request& r) {
        auto out = sign(context, r);
        EXPECT_FALSE(out.has_value());
        return out ? CommandFailure{} : out.error();
    }
};

CommandFailure invalid(std::string m) {
    return CommandFailure::invalid_request(std::move(m));
}
CommandFailure agent(ErrorKind k, std::string detail = {}) {
    return CommandFailure::from(AgentError(k, std::move(detail)));
}

TEST_F(SignFixture, ChecksRunInTheirFixedOrder) {
    p11->add(cert.der);
    const std::string four_way = "informe exatamente um entre data, hash, data_list e hashes";

    Request r = request();
    r.thumbprint.reset();
    r.data = "!!";  // bad input, but the missing thumbprint is reported first
    EXPECT_EQ(fails(r), invalid("thumbprint é obrigatório"));

    r = request();
    EXPECT_EQ(fails(r), invalid(four_way));
    r.data = "";
    r.hashes = std::vector<InputText>{};
    EXPECT_EQ(fails(r), invalid(four_way));

    r = request();
    r.data = "!!";
    r.hash = "!!";
    EXPECT_EQ(fails(r), invalid("informe exatamente um entre data e hash"));

    r = request();
    r.data_list = std::vector<InputText>{"!!"};
    r.hashes = std::vector<InputText>{"!!"};
    EXPECT_EQ(fails(r), invalid("informe exatamente um entre data_list e hashes"));

    struct Case {
        const char* field;
        const char* message;
    };
    for (auto [field, message] :
         {Case{"data", "data não é base64 válido"}, Case{"hash", "hash não é base64 válido"},
          Case{"data_list", "data_list contém item que não é base64 válido"},
          Case{"hashes", "hashes contém item que não é base64 válido"}}) {
        r = request();
        std::string f = field;
        if (f == "data")
            r.data = "QQ";
        if (f == "hash")
            r.hash = "QQ";
        if (f == "data_list")
            r.data_list = std::vector<InputText>{"QQ==", "QQ"};
        if (f == "hashes")
            r.hashes = std::vector<InputText>{b64(bytes(32)), "QQ"};
        EXPECT_EQ(fails(r), invalid(message)) << field;
    }

    r = request();
    r.hashes = std::vector<InputText>{};
    EXPECT_EQ(fails(r), invalid("lote vazio"));

    // 501 items are refused as too many only when all of them decode.
    r = request();
    r.hashes = std::vector<InputText>(501, InputText(b64(bytes(32))));
    EXPECT_EQ(fails(r), invalid("lote excede 500 itens"));
    r.hashes->back() = "Q";
    EXPECT_EQ(fails(r), invalid("hashes contém item que não é base64 válido"));

    // An unknown thumbprint is reported before a wrong hash length.
    r = request();
    r.thumbprint = std::string(64, '0');
    r.hash = b64(bytes(32));
    r.digest_algorithm = core::DigestAlgorithm::Sha512;
    EXPECT_EQ(fails(r), agent(ErrorKind::CertificateNotFound));
    r.thumbprint = tp;
    EXPECT_EQ(fails(r),
              agent(ErrorKind::SignFailed, "tamanho do hash não corresponde ao algoritmo"));
    r.hash = "";  // zero bytes: a length failure, not bad Base64
    EXPECT_EQ(fails(r),
              agent(ErrorKind::SignFailed, "tamanho do hash não corresponde ao algoritmo"));
    EXPECT_TRUE(p11->sign_calls.empty());
}

TEST_F(SignFixture, KeyAlgorithmFailuresComeFromTheCertificate) {
    auto ed = make_cert({.common_name = "Ed", .key = testing::KeyType::Ed25519});
    p11->add(ed.der);
    Request r = request();
    r.thumbprint = core::compute_thumbprint(ed.der);
    r.hash = b64(bytes(32));
    EXPECT_EQ(fails(r), agent(ErrorKind::Unsupported, "algoritmo de chave pública 1.3.101.112"));

    core::Bytes junk{0x30, 0x01, 0x00};
    p11->add(junk);
    r.thumbprint = core::compute_thumbprint(junk);
    auto f = fails(r);
    EXPECT_EQ(f.code, "sign_failed");
    EXPECT_EQ(f.message.rfind("falha ao assinar: X.509 inválido: ", 0), 0u) << f.message;
}

TEST_F(SignFixture, DataIsDigestedWithSha256ByDefaultAndReportedSo) {
    p11->add(cert.der);
    Request r = request();
    r.data = "";  // the empty input is valid data
    auto out = sign(context, r);
    ASSERT_TRUE(out.has_value());
    ASSERT_EQ(p11->sign_calls.size(), 1u);
    EXPECT_EQ(p11->sign_calls[0].digests[0],
              core::compute_digest(core::Bytes{}, core::DigestAlgorithm::Sha256));
    EXPECT_EQ(p11->sign_calls[0].alg, core::DigestAlgorithm::Sha256);
    const std::string json = result_json(*out).dump();
    EXPECT_NE(json.find(R"("signature_algorithm":"ecdsa","digest_algorithm":"SHA-256"})"),
              std::string::npos)
        << json;
}

TEST_F(SignFixture, BatchKeepsInputOrderAndTheExactLimitIsAccepted) {
    p11->add(cert.der);
    Request r = request();
    r.data_list = std::vector<InputText>();
    for (int i = 0; i < 500; ++i)
        r.data_list->push_back(b64(bytes(static_cast<std::size_t>(i))));
    r.digest_algorithm = core::DigestAlgorithm::Sha384;
    auto out = sign(context, r);
    ASSERT_TRUE(out.has_value());
    const auto& sigs = std::get<Signatures>(*out);
    ASSERT_EQ(sigs.signatures.size(), 500u);
    for (std::size_t i = 0; i < 500; ++i) {
        const core::Bytes digest = core::compute_digest(bytes(i), core::DigestAlgorithm::Sha384);
        ASSERT_TRUE(testing::verify_digest_signature(
            cert.der, digest, core::DigestAlgorithm::Sha384, sigs.signatures[i]))
            << i;
    }
    EXPECT_EQ(sigs.digest_algorithm, core::DigestAlgorithm::Sha384);
}

TEST_F(SignFixture, PinTravelsAsGivenAndAnEmptyPinIsNotAnAbsentOne) {
    p11->add(cert.der);
    Request r = request();
    r.hash = b64(bytes(32));
    ASSERT_TRUE(sign(context, r).has_value());
    r.pin.emplace(std::string());
    ASSERT_TRUE(sign(context, r).has_value());
    r.pin.emplace(std::string("1234"));
    ASSERT_TRUE(sign(context, r).has_value());
    ASSERT_EQ(p11->sign_calls.size(), 3u);
    EXPECT_EQ(p11->sign_calls[0].pin, std::nullopt);
    EXPECT_EQ(p11->sign_calls[1].pin, std::optional<std::string>(""));
    EXPECT_EQ(p11->sign_calls[2].pin, std::optional<std::string>("1234"));
}

TEST_F(SignFixture, SourcePrecedence) {
    os->add(cert.der);
    p11->add(cert.der);
    const std::vector<core::Bytes> digests{bytes(32)};

    // The store signs: the token is never asked.
    auto ok = sign_with_sources(context, tp, digests, core::DigestAlgorithm::Sha256, std::nullopt);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(os->sign_calls.size(), 1u);
    EXPECT_TRUE(p11->sign_calls.empty());

    // A signature that does not verify never goes out: it is the store's
    // SignFailed, so the token signs; when the token's fails too, that is
    // the answer. Every item counts, the last of a batch as well.
    const std::vector<core::Bytes> two{bytes(32, 1), bytes(32, 2)};
    os->on_sign = [&](const testing::SignCall& call) {
        auto sigs = real_signatures(call);
        sigs->back().back() ^= 1;
        return sigs;
    };
    ok = sign_with_sources(context, tp, two, core::DigestAlgorithm::Sha256, std::nullopt);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(p11->sign_calls.size(), 1u);
    p11->on_sign = os->on_sign;
    auto r = sign_with_sources(context, tp, two, core::DigestAlgorithm::Sha256, std::nullopt);
    EXPECT_EQ(r.error(), AgentError::sign_failed(std::string(SIGNATURE_MISMATCH)));
    p11->sign_calls.clear();

    // Store KeyNotFound, token PinIncorrect: the PIN error is reported.
    os->on_sign = [](const auto&) { return std::unexpected(AgentError(ErrorKind::KeyNotFound)); };
    p11->on_sign = [](const auto&) { return std::unexpected(AgentError(ErrorKind::PinIncorrect)); };
    r = sign_with_sources(context, tp, digests, core::DigestAlgorithm::Sha256, std::nullopt);
    EXPECT_EQ(r.error(), AgentError(ErrorKind::PinIncorrect));

    // Both fail with errors that let the search go on: the last one wins.
    os->on_sign = [](const auto&) { return std::unexpected(AgentError::sign_failed("store")); };
    p11->on_sign = [](const auto&) { return std::unexpected(AgentError::sign_failed("token")); };
    r = sign_with_sources(context, tp, digests, core::DigestAlgorithm::Sha256, std::nullopt);
    EXPECT_EQ(r.error(), AgentError::sign_failed("token"));

    // A PIN or cancellation error of the store stops the search at once.
    for (ErrorKind k :
         {ErrorKind::PinRequired, ErrorKind::PinIncorrect, ErrorKind::PinIncorrectCountLow,
          ErrorKind::PinIncorrectFinalTry, ErrorKind::PinLocked, ErrorKind::UserCancelled}) {
        p11->sign_calls.clear();
        os->on_sign = [k](const auto&) { return std::unexpected(AgentError(k)); };
        r = sign_with_sources(context, tp, digests, core::DigestAlgorithm::Sha256, "0000");
        EXPECT_EQ(r.error(), AgentError(k));
        EXPECT_TRUE(p11->sign_calls.empty());
    }

    // A store failure of the second kind, and a token that never held it.
    p11->listing.certificates.clear();
    os->on_sign = [](const auto&) {
        return std::unexpected(AgentError::unsupported("ECDSA em provedor CAPI legado"));
    };
    r = sign_with_sources(context, tp, digests, core::DigestAlgorithm::Sha256, std::nullopt);
    EXPECT_EQ(r.error(), AgentError::unsupported("ECDSA em provedor CAPI legado"));

    // Nobody holds it.
    os->listing.certificates.clear();
    r = sign_with_sources(context, tp, digests, core::DigestAlgorithm::Sha256, std::nullopt);
    EXPECT_EQ(r.error(), AgentError(ErrorKind::CertificateNotFound));

    // A source holding the certificate twice (two tokens) is asked once, with
    // its first copy; a failure there does not try the second.
    p11->add(cert.der, "Token A");
    p11->add(cert.der, "Token B");
    p11->sign_calls.clear();
    p11->on_sign = [](const auto&) { return std::unexpected(AgentError(ErrorKind::KeyNotFound)); };
    r = sign_with_sources(context, tp, digests, core::DigestAlgorithm::Sha256, std::nullopt);
    EXPECT_EQ(r.error(), AgentError(ErrorKind::KeyNotFound));
    EXPECT_EQ(p11->sign_calls.size(), 1u);
}

TEST_F(SignFixture, UpperCaseThumbprintFindsTheSigningSource) {
    p11->add(cert.der);
    Request r = request();
    for (char& c : *r.thumbprint)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    r.hashes = std::vector<InputText>{b64(bytes(32, 1)), b64(bytes(32, 2))};
    auto out = sign(context, r);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(std::get<Signatures>(*out).signatures.size(), 2u);
    EXPECT_EQ(p11->sign_calls.at(0).der, cert.der);
}

TEST_F(SignFixture, AnExceptionIsAnsweredAndTheNextRequestServed) {
    os->add(cert.der);
    os->on_sign = [](const testing::SignCall&) -> core::Result<std::vector<core::Bytes>> {
        throw std::bad_alloc();
    };
    const std::string message = R"({"id":"9","command":"sign","thumbprint":")" + tp +
                                R"(","hash":")" + b64(bytes(32)) + R"("})";
    EXPECT_EQ(handle_message(context, message),
              R"({"id":"9","ok":false,"error":{"code":"sign_failed",)"
              R"("message":"falha ao assinar: erro interno: memória insuficiente"}})");
    os->on_sign = real_signatures;
    EXPECT_NE(handle_message(context, message).find(R"("ok":true)"), std::string::npos);
}

}  // namespace
}  // namespace tolvex::agent
