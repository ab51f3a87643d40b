// Request handling over two scripted certificate sources whose behaviour is
// part of the input, so hostile sources meet hostile requests.
//
// Input: [flags] [sign] [n] [n bytes of source text] [request message]
//   flags bit 0: the OS source lists the RSA leaf and the CA certificate
//         bit 1: the PKCS#11 source lists the RSA leaf and the EC leaf
//         bit 2: the OS source also lists the source text as a certificate
//         bit 3: both sources warn, and a token is listed, with the source text
//         bit 4: keys need a PIN; bit 5: the source text is the provider
//   sign  low nibble the OS source, high nibble the PKCS#11 source:
//         0 signs, 1 gives an empty signature, 2 throws std::bad_alloc,
//         3 throws std::runtime_error, 4..13 fails with error kind 0..9,
//         14..15 signs. The fixed certificates' keys are not at hand, so
//         what the sources sign never verifies: those requests end in the
//         signature check's sign_failed.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <nlohmann/json.hpp>

#include "fake_source.hpp"
#include "fuzz_check.hpp"
#include "handler.hpp"
#include "tolvex/core/base64.hpp"
#include "tolvex/core/key_storage.hpp"

namespace {

using namespace tolvex;

// Fixed certificates, so a thumbprint in a seed stays valid. The RSA leaf
// carries person fields, the EC leaf company fields (GeneralizedTime
// notAfter), the third is their CA.
constexpr std::string_view kRsaLeaf =
    "MIIChTCCAiygAwIBAgIFAQIDBAUwCgYIKoZIzj0EAwIwJTELMAkGA1UEBhMCQlIxFjAUBgNVBAMMDUFDIFJhaXogVGVzdG"
    "Uw"
    "HhcNMjYxMjA5MDYwOTM2WhcNMjkwOTA0MDYwOTM2WjBaMQswCQYDVQQGEwJCUjETMBEGA1UECgwKSUNQLUJyYXNpbDERMA"
    "8G"
    "A1UECwwIQUMgVGVzdGUxIzAhBgNVBAMMGk1BUklBIERBIFNJTFZBOjEyMzQ1Njc4OTA5MIGfMA0GCSqGSIb3DQEBAQUAA4"
    "GN"
    "ADCBiQKBgQCucbNc6Ku/"
    "DDa0efpgK3WuqCl09jno0lwzYwScYLGKA2EbyPLxN6uaUUdZTcgH7++s40e5UnnywNJ7OhrqlBWk"
    "mVc+X4WzVuhm8oHoRzjx45joG80HLdt65+pddTh/4f4Iw/"
    "V4LiciaD6jXXhPfzCMy30T5Z8MO2crRUWpvJim8QIDAQABo4HM"
    "MIHJMA4GA1UdDwEB/"
    "wQEAwIF4DB3BgNVHREEcDBuoD0GBWBMAQMBoDQMMjE1MDMxOTgwMTIzNDU2Nzg5MDkwMDAwMDAwMDAw"
    "MDAwMDAwMDAxMjM0NTY3OFNTUFNQoBcGBWBMAQMGoA4MDDAwMDAwMDAwMDAwMIEUbWFyaWFAZXhhbXBsZS5jb20uYnIwHQ"
    "YD"
    "VR0OBBYEFEr9qFXvOTT4v2G18xVj/"
    "H3I3mqUMB8GA1UdIwQYMBaAFF5f1D4rfuB0DQkiT3d57a+mhfzuMAoGCCqGSM49BAMC"
    "A0cAMEQCIFv98ESbk9fH8KFQdoMOhehPl5MHdPB5gsFjmhUeQvSdAiAs69vtPKiZlZ4S5oTYTrzVUofMXzWWMd1FG8E/"
    "35iV"
    "1Q==";
constexpr std::string_view kEcLeaf =
    "MIICVjCCAfygAwIBAgIBBzAKBggqhkjOPQQDAjAlMQswCQYDVQQGEwJCUjEWMBQGA1UEAwwNQUMgUmFpeiBUZXN0ZTAgFw"
    "0y"
    "NjEyMDkwNjEyMDJaGA8yMDU3MDEyMDA2MTIwMlowUDELMAkGA1UEBhMCQlIxEzARBgNVBAoMCklDUC1CcmFzaWwxLDAqBg"
    "NV"
    "BAMMI0VNUFJFU0EgRVhFTVBMTyBMVERBOjExMjIyMzMzMDAwMTgxMFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE2nUndL"
    "AP"
    "3KQNGsrhYY3vC4zlMoJLtLn29a1A22tbFBeSlmGOy1qkEGtZrMnJ7MC1Kla6uKHsS5KpEyCjW6i3BaOB7zCB7DAOBgNVHQ"
    "8B"
    "Af8EBAMCB4AwgZkGA1UdEQSBkTCBjqA7BgVgTAEDBKAyDDAwMTAxMTk3MDEyMzQ1Njc4OTA5MDAwMDAwMDAwMDAwMDAwMD"
    "Aw"
    "MDAwMDAwMDAwMDCgGwYFYEwBAwKgEgwQSk9BTyBSRVNQT05TQVZFTKAZBgVgTAEDA6AQDA4xMTIyMjMzMzAwMDE4MaAXBg"
    "Vg"
    "TAEDB6AODAwwMDAwMDAwMDAwMDAwHQYDVR0OBBYEFGHDiMs9TGeLElacjqXJEZ6fb7EkMB8GA1UdIwQYMBaAFF5f1D4rfu"
    "B0"
    "DQkiT3d57a+mhfzuMAoGCCqGSM49BAMCA0gAMEUCIBweA71S3W4M+G8oK90dJ/"
    "BEBCAtT2pCTRBHAbUvDQSOAiEAsrhxlwT1"
    "icWLTk6JvE67TbR4XznC2cQj9EP3dPpyW84=";
constexpr std::string_view kCa =
    "MIIBezCCASGgAwIBAgIBATAKBggqhkjOPQQDAjAlMQswCQYDVQQGEwJCUjEWMBQGA1UEAwwNQUMgUmFpeiBUZXN0ZTAeFw"
    "0y"
    "NjEyMDkwNjA5MzZaFw0zNjEyMDYwNjA5MzZaMCUxCzAJBgNVBAYTAkJSMRYwFAYDVQQDDA1BQyBSYWl6IFRlc3RlMFkwEw"
    "YH"
    "KoZIzj0CAQYIKoZIzj0DAQcDQgAEHefOnP+Eik4dlB9vm4xBAySDH38UiuWAKmFy/vKZ/"
    "AhDrpQVosrWuQoU9g4S4nFaB+Qd"
    "zqA09ivJ0L5T+4XszaNCMEAwDwYDVR0TAQH/BAUwAwEB/"
    "zAOBgNVHQ8BAf8EBAMCAQYwHQYDVR0OBBYEFF5f1D4rfuB0DQki"
    "T3d57a+mhfzuMAoGCCqGSM49BAMCA0gAMEUCIQCe/"
    "jCF9l2827vHmEAEOLZ2Or74XVb1CeBL2VIKQgxA6wIgKTuN6fvZJ37G"
    "Gt87FcPJMVg0tJhupmWNP4WEnpignGI=";

struct Certs {
    core::Bytes rsa = *core::base64_decode(kRsaLeaf);
    core::Bytes ec = *core::base64_decode(kEcLeaf);
    core::Bytes ca = *core::base64_decode(kCa);
};

const Certs& certs() {
    static const Certs c;
    return c;
}

testing::FakeSource::SignFn sign_behaviour(unsigned script, std::string text) {
    if (script == 0 || script >= 14)
        return {};
    return [script, text = std::move(text)](
               const testing::SignCall& call) -> core::Result<std::vector<core::Bytes>> {
        if (script == 1)
            return std::vector<core::Bytes>(call.digests.size());
        if (script == 2)
            throw std::bad_alloc();
        if (script == 3)
            throw std::runtime_error(text);
        return std::unexpected(core::AgentError(static_cast<core::ErrorKind>(script - 4), text));
    };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The handler logs every request; here nothing may be printed per input.
    auto quiet =
        std::make_shared<spdlog::logger>("fuzz", std::make_shared<spdlog::sinks::null_sink_mt>());
    spdlog::set_default_logger(quiet);
    certs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    const unsigned flags = data[0];
    const unsigned sign = data[1];
    const std::size_t n = std::min<std::size_t>(data[2], size - 3);
    const std::string text(reinterpret_cast<const char*>(data + 3), n);
    const std::string message(reinterpret_cast<const char*>(data + 3 + n), size - 3 - n);

    const bool pin = flags & 0x10;
    const std::optional<std::string> provider =
        flags & 0x20 ? std::optional<std::string>(text) : std::nullopt;
    auto os = std::make_unique<testing::FakeSource>(core::SourceKind::Os);
    auto p11 = std::make_unique<testing::FakeSource>(core::SourceKind::Pkcs11);
    if (flags & 0x01) {
        os->add(certs().rsa, "MY", pin, provider, core::KeyStorage::Unknown);
        os->add(certs().ca);
    }
    if (flags & 0x02) {
        p11->add(certs().rsa, text, pin, provider, core::KeyStorage::Token);
        p11->add(certs().ec, text, pin, provider, core::KeyStorage::Token);
    }
    if (flags & 0x04)
        os->add(core::Bytes(text.begin(), text.end()), text);
    if (flags & 0x08) {
        os->listing.warnings.push_back({text, text});
        p11->listing.warnings.push_back({"Pkcs11", text});
        p11->tokens.tokens.push_back({text, 0xFFFFFFFFFFFFFFFFull, text, text, text, text});
        p11->tokens.warnings.push_back({text, text});
    }
    os->on_sign = sign_behaviour(sign & 0x0F, text);
    p11->on_sign = sign_behaviour(sign >> 4, text);

    agent::HandlerContext context;
    context.sources.push_back(std::move(os));
    context.sources.push_back(std::move(p11));

    const std::string response = agent::handle_message(context, message);
    // Whatever came in, one JSON object with the envelope's first keys.
    FUZZ_CHECK(nlohmann::json::accept(response));
    const auto parsed = nlohmann::ordered_json::parse(response);
    FUZZ_CHECK(parsed.is_object() && parsed.size() == 3);
    FUZZ_CHECK(parsed.begin().key() == "id");
    FUZZ_CHECK(parsed["id"].is_null() || parsed["id"].is_string());
    FUZZ_CHECK(parsed["ok"].is_boolean());
    FUZZ_CHECK(parsed.contains(parsed["ok"].get<bool>() ? "result" : "error"));
    return 0;
}
