#include <gtest/gtest.h>

#include "der_builder.hpp"
#include "tolvex/core/cert.hpp"
#include "tolvex/core/key_storage.hpp"

namespace tolvex::core {
namespace {

using namespace tolvex::test;

CertificateSummary summary_of(const CertFields& fields, std::vector<SourceEntry> sources = {}) {
    auto s = build_summary(build_cert(fields), std::move(sources));
    EXPECT_TRUE(s.has_value()) << (s ? "" : s.error());
    return s.value_or(CertificateSummary{});
}

CertificateSummary with_subject(const Bytes& subject) {
    CertFields fields;
    fields.subject = subject;
    return summary_of(fields);
}

TEST(HexAndThumbprint, FormatsAndCoversTheWholeBuffer) {
    EXPECT_EQ(hex_lower({}), "");
    EXPECT_EQ(hex_lower(Bytes{0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");
    EXPECT_EQ(compute_thumbprint(bytes_of("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    Bytes der = build_cert(CertFields{});
    Bytes trailing = der;
    trailing.push_back(0x00);
    auto a = build_summary(der, {});
    auto b = build_summary(trailing, {});
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->thumbprint, compute_thumbprint(der));
    EXPECT_EQ(b->thumbprint, compute_thumbprint(trailing));
    EXPECT_NE(a->thumbprint, b->thumbprint);
    EXPECT_EQ(a->thumbprint.size(), 64u);
    // Everything but the thumbprint comes from the certificate itself.
    b->thumbprint = a->thumbprint;
    EXPECT_EQ(*a, *b);
}

TEST(BuildSummary, SameDerGivesSameSummaryWhateverTheSource) {
    Bytes der = build_cert(CertFields{});
    SourceEntry os{SourceKind::Os, "MY", false, KeyStorage::Token, "Example Smart Card Provider"};
    SourceEntry token{SourceKind::Pkcs11, "TOKEN", true, KeyStorage::Token, std::nullopt};
    auto a = build_summary(der, {os});
    auto b = build_summary(der, {token, os});
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->sources, std::vector<SourceEntry>{os});
    EXPECT_EQ(b->sources, (std::vector<SourceEntry>{token, os}));
    b->sources = a->sources;
    EXPECT_EQ(*a, *b);
}

TEST(BuildSummary, UnparseableInputFailsWithParserText) {
    for (const Bytes& bad : {Bytes{}, Bytes{0x30}, Bytes{0x30, 0x03, 0x02, 0x01, 0x01},
                             bytes_of("not a certificate")}) {
        auto s = build_summary(bad, {});
        ASSERT_FALSE(s.has_value());
        EXPECT_TRUE(s.error().starts_with(X509_INVALID_PREFIX)) << s.error();
        EXPECT_GT(s.error().size(), X509_INVALID_PREFIX.size()) << s.error();
        // Deterministic: the same input gives the same text.
        EXPECT_EQ(build_summary(bad, {}).error(), s.error());
    }
}

TEST(Names, RenderingsOfTheUsualSubject) {
    auto s =
        with_subject(seq({set({atv("2.5.4.6", PRINTABLE, "BR")}),
                          set({atv("2.5.4.10", UTF8, "ICP-Brasil")}), cn("NOME:12345678901")}));
    EXPECT_EQ(s.subject_name, "C=BR, O=ICP-Brasil, CN=NOME:12345678901");
    EXPECT_EQ(s.subject_dn, "CN=NOME:12345678901,O=ICP-Brasil,C=BR");
    EXPECT_EQ(s.subject_cn, "NOME");
    EXPECT_EQ(s.issuer_name, "C=BR, CN=AC Teste");
    EXPECT_EQ(s.issuer_dn, "CN=AC Teste,C=BR");
    EXPECT_EQ(s.issuer_cn, "AC Teste");
}

TEST(Names, MultiValuedRdnKeepsStoredOrder) {
    auto s =
        with_subject(seq({set({atv("2.5.4.6", PRINTABLE, "BR")}), set({atv("2.5.4.10", UTF8, "X")}),
                          set({atv("2.5.4.11", UTF8, "B"), atv("2.5.4.11", UTF8, "A")}), cn("Y")}));
    // DER would sort the SET; the stored order is what counts.
    EXPECT_EQ(s.subject_name, "C=BR, O=X, OU=B + OU=A, CN=Y");
    EXPECT_EQ(s.subject_dn, "CN=Y,OU=B+OU=A,O=X,C=BR");
}

TEST(Names, DistinguishedNameEscapes) {
    struct Case {
        std::string_view value, dn;
    };
    for (auto [value, dn] :
         {Case{"Silva, João", "CN=Silva\\, João"}, Case{" x ", "CN=\\ x\\ "}, Case{"#1", "CN=\\#1"},
          Case{"a#b", "CN=a#b"}, Case{"a+b;c<d>e\"f\\g", "CN=a\\+b\\;c\\<d\\>e\\\"f\\\\g"},
          Case{std::string_view("a\0b", 3), "CN=a\\00b"}, Case{" ", "CN=\\ "}}) {
        auto s = with_subject(seq({cn(value)}));
        EXPECT_EQ(s.subject_dn, dn) << value;
        EXPECT_EQ(s.subject_name, "CN=" + std::string(value));
    }
}

TEST(Names, KeysForRegisteredAndUnknownTypes) {
    auto s = with_subject(seq(
        {set({atv("2.5.4.5", PRINTABLE, "123")}), set({atv("2.16.76.1.3.3", UTF8, "v")}),
         set({atv("1.2.840.113549.1.9.1", IA5, "a@b")}),
         set({atv("0.9.2342.19200300.100.1.1", UTF8, "u")}), set({atv("2.5.4.9", UTF8, "Rua")})}));
    EXPECT_EQ(s.subject_name,
              "serialNumber=123, OID(2.16.76.1.3.3)=v, Email=a@b, uid=u, streetAddress=Rua");
    EXPECT_EQ(s.subject_dn,
              "STREET=Rua,UID=u,1.2.840.113549.1.9.1=a@b,2.16.76.1.3.3=v,2.5.4.5=123");
}

TEST(Names, TypeIdentifiersWithLargeArcs) {
    // 2.25.<128-bit UUID>, and a first subidentifier far beyond 64 bits.
    Bytes uuid = {0x69, 0x83, 0xF0, 0x9D, 0xA7, 0xEB, 0xCF, 0xDE, 0xE0, 0xC7,
                  0xA1, 0xA7, 0xB2, 0xC0, 0x94, 0x8C, 0xC8, 0xF9, 0xD7, 0x76};
    Bytes first(27, 0x80);
    first[0] = 0x90;
    Bytes huge = cat({first, Bytes{0xE1, 0x09, 0x07}});
    auto s = with_subject(seq({set({seq({tlv(0x06, uuid), tlv(UTF8, "u")})}),
                               set({seq({tlv(0x06, huge), tlv(UTF8, "h")})})}));
    EXPECT_EQ(s.subject_name,
              "OID(2.25.329800735698586629295641978511506172918)=u, "
              "OID(2.1606938044258990275541962092341162602522202993782792835313721.7)=h");
    EXPECT_EQ(s.subject_dn,
              "2.1606938044258990275541962092341162602522202993782792835313721.7=h,"
              "2.25.329800735698586629295641978511506172918=u");
}

TEST(Names, ValueTagsDecideTheRendering) {
    // BMPString "Ana": text when displayed, hex in the DN, no common name.
    auto bmp = with_subject(seq({set({atv("2.5.4.3", BMP, Bytes{0, 'A', 0, 'n', 0, 'a'})})}));
    EXPECT_EQ(bmp.subject_name, "CN=Ana");
    EXPECT_EQ(bmp.subject_dn, "CN=#0041006e0061");
    EXPECT_EQ(bmp.subject_cn, "");

    // Surrogate pair in a BMPString.
    auto pair = with_subject(seq({set({atv("2.5.4.10", BMP, Bytes{0xD8, 0x3D, 0xDE, 0x00})})}));
    EXPECT_EQ(pair.subject_name, "O=\xF0\x9F\x98\x80");

    // TeletexString and VisibleString: UTF-8 when displayed, hex in the DN.
    auto t61 = with_subject(
        seq({set({atv("2.5.4.10", TELETEX, "T")}), set({atv("2.5.4.11", VISIBLE, "V")})}));
    EXPECT_EQ(t61.subject_name, "O=T, OU=V");
    EXPECT_EQ(t61.subject_dn, "OU=#56,O=#54");

    // A non-string value: upper-case hex when displayed, lower-case in the DN.
    auto other = with_subject(seq({set({atv("2.5.4.10", 0x04, Bytes{0xAB, 0x01})})}));
    EXPECT_EQ(other.subject_name, "O=AB01");
    EXPECT_EQ(other.subject_dn, "O=#ab01");
}

TEST(Names, InvalidTextSpoilsOnlyTheDisplayRendering) {
    // Invalid UTF-8 in an IA5String; OpenSSL keeps such bytes as they are.
    auto s = with_subject(
        seq({set({atv("2.5.4.10", UTF8, "ok")}), set({atv("2.5.4.3", IA5, Bytes{'a', 0xFF})})}));
    EXPECT_EQ(s.subject_name, INVALID_NAME_TEXT);
    EXPECT_EQ(s.subject_dn, "CN=#61ff,O=ok");
    EXPECT_EQ(s.subject_cn, "");
    // Invalid UTF-8 in a UTF8String, which OpenSSL refuses in names: the
    // certificate is still summarised.
    auto utf8 = with_subject(seq({set({atv("2.5.4.3", UTF8, Bytes{0xC3, 0x28})})}));
    EXPECT_EQ(utf8.subject_name, INVALID_NAME_TEXT);
    EXPECT_EQ(utf8.subject_dn, "CN=#c328");
    EXPECT_EQ(utf8.subject_cn, "");
    EXPECT_EQ(utf8.issuer_name, "C=BR, CN=AC Teste");
    // A lone surrogate in a BMPString.
    auto lone = with_subject(seq({set({atv("2.5.4.10", BMP, Bytes{0xDC, 0x00})})}));
    EXPECT_EQ(lone.subject_name, INVALID_NAME_TEXT);
    EXPECT_EQ(lone.subject_dn, "O=#dc00");
}

TEST(Names, EmptyNameAndEmptyRdn) {
    auto none = with_subject(seq({}));
    EXPECT_EQ(none.subject_name, "");
    EXPECT_EQ(none.subject_dn, "");
    EXPECT_EQ(none.subject_cn, "");

    Name with_gap = {{{"2.5.4.6", 19, bytes_of("BR")}}, {}, {{"2.5.4.3", 12, bytes_of("Y")}}};
    EXPECT_EQ(format_dn(with_gap), "CN=Y,,C=BR");
    EXPECT_EQ(display_name(with_gap), "C=BR, , CN=Y");
    Bytes gap_der = seq({set({atv("2.5.4.6", PRINTABLE, "BR")}), set({}), cn("Y")});
    auto parsed = parse_name(gap_der);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, with_gap);
    auto s = with_subject(gap_der);
    EXPECT_EQ(s.subject_dn, "CN=Y,,C=BR");
    EXPECT_EQ(s.subject_cn, "Y");
}

TEST(CommonName, FirstOneOnlyAndSuffixRules) {
    auto two = with_subject(seq({cn(""), cn("Second")}));
    EXPECT_EQ(two.subject_cn, "");
    auto issuer_kept = [] {
        CertFields fields;
        fields.issuer = seq({cn("  AC:12345678000199 ")});
        return summary_of(fields);
    }();
    EXPECT_EQ(issuer_kept.issuer_cn, "  AC:12345678000199 ");

    EXPECT_EQ(strip_document_suffix("EMPRESA LTDA:12345678000199"), "EMPRESA LTDA");
    EXPECT_EQ(strip_document_suffix("NOME DA PESSOA:12345678901"), "NOME DA PESSOA");
    EXPECT_EQ(strip_document_suffix("NOME:1234567890"), "NOME:1234567890");
    EXPECT_EQ(strip_document_suffix("NOME:123456789012345"), "NOME:123456789012345");
    EXPECT_EQ(strip_document_suffix(":12345678901"), ":12345678901");
    EXPECT_EQ(strip_document_suffix("  NOME  "), "NOME");
    EXPECT_EQ(strip_document_suffix(" A:B:12345678901"), "A:B");
    EXPECT_EQ(strip_document_suffix("NOME:1234567890a"), "NOME:1234567890a");
    EXPECT_EQ(strip_document_suffix("\xC2\xA0NOME\xE3\x80\x80:12345678901"), "NOME");
}

TEST(Serial, ContentBytesAsStored) {
    for (auto [content, text] :
         {std::pair{Bytes{0x01, 0x02}, "0102"}, std::pair{Bytes{0x00, 0x8F, 0x10}, "008f10"},
          std::pair{Bytes{0x00, 0xC3}, "00c3"}, std::pair{Bytes{0xFF, 0x7F}, "ff7f"}}) {
        CertFields fields;
        fields.serial = content;
        EXPECT_EQ(summary_of(fields).serial_number, text);
    }
}

TEST(Times, ValidityAsStored) {
    struct Case {
        Bytes time;
        std::string_view text;
    };
    for (const auto& [time, text] : {
             Case{utc("240510140322Z"), "2024-05-10T14:03:22Z"},
             Case{utc("491231235959Z"), "2049-12-31T23:59:59Z"},
             Case{utc("500101000000Z"), "1950-01-01T00:00:00Z"},
             Case{gen_time("20240510140322.5Z"), "2024-05-10T14:03:22.5Z"},
             Case{gen_time("20240510140322.123456789123Z"), "2024-05-10T14:03:22.123456789Z"},
             Case{gen_time("20240510140322.000Z"), "2024-05-10T14:03:22Z"},
             Case{gen_time("20240510140322+0130"), "2024-05-10T14:03:22+01:30"},
             Case{gen_time("20240510140322-0300"), "2024-05-10T14:03:22-03:00"},
             Case{gen_time("99991231235959Z"), "9999-12-31T23:59:59Z"},
             Case{gen_time("20240510140322+2400"), ""},
             Case{gen_time("20240230140322Z"), ""},
             Case{gen_time("20240510140322"), ""},
             Case{utc("garbage"), ""},
         }) {
        CertFields fields;
        fields.not_after = time;
        auto s = summary_of(fields);
        EXPECT_EQ(s.not_after, text) << std::string(time.begin() + 2, time.end());
        EXPECT_EQ(s.not_before, "2024-05-10T14:03:22Z");
    }
}

TEST(Times, FormatLimits) {
    CertTime t{2024, 2, 29, 1, 2, 3, 0, 0};
    EXPECT_EQ(format_time(t), "2024-02-29T01:02:03Z");
    t.year = 10000;
    EXPECT_EQ(format_time(t), std::nullopt);
    t.year = -1;
    EXPECT_EQ(format_time(t), std::nullopt);
    t = CertTime{2024, 1, 1, 0, 0, 0, 0, 23 * 3600 + 59 * 60};
    EXPECT_EQ(format_time(t), "2024-01-01T00:00:00+23:59");
    t.offset_seconds = -(24 * 3600);
    EXPECT_EQ(format_time(t), std::nullopt);
    t.offset_seconds = 61;  // an offset with seconds
    EXPECT_EQ(format_time(t), std::nullopt);
    t.offset_seconds = 0;
    t.nanosecond = 1;
    EXPECT_EQ(format_time(t), "2024-01-01T00:00:00.000000001Z");
}

TEST(Extensions, KeyUsageNamesInBitOrder) {
    CertFields fields;
    EXPECT_TRUE(summary_of(fields).key_usage.empty());
    fields.extensions = {key_usage_ext(0x20 | 0x40)};
    EXPECT_EQ(summary_of(fields).key_usage, (std::vector<std::string>{"keyCertSign", "cRLSign"}));
    fields.extensions = {key_usage_ext(0x1FF)};  // every bit, 7 and 8 unnamed
    EXPECT_EQ(
        summary_of(fields).key_usage,
        (std::vector<std::string>{"digitalSignature", "nonRepudiation", "keyEncipherment",
                                  "dataEncipherment", "keyAgreement", "keyCertSign", "cRLSign"}));
    fields.extensions = {key_usage_ext(0x01), key_usage_ext(0x01)};
    EXPECT_TRUE(summary_of(fields).key_usage.empty());
    fields.extensions = {extension("2.5.29.15", bytes_of("junk"))};
    EXPECT_TRUE(summary_of(fields).key_usage.empty());
}

TEST(Extensions, CaFlagNeedsExactlyOneDecodedBasicConstraints) {
    CertFields fields;
    EXPECT_FALSE(summary_of(fields).is_ca);
    fields.extensions = {basic_constraints_ext(true)};
    EXPECT_TRUE(summary_of(fields).is_ca);
    fields.extensions = {basic_constraints_ext(false)};
    EXPECT_FALSE(summary_of(fields).is_ca);
    fields.extensions = {basic_constraints_ext(true), basic_constraints_ext(true)};
    EXPECT_FALSE(summary_of(fields).is_ca);
    fields.extensions = {extension("2.5.29.19", bytes_of("junk"))};
    EXPECT_FALSE(summary_of(fields).is_ca);
}

TEST(KeyAlgorithm, RsaEcAndTheRest) {
    CertFields fields;
    EXPECT_EQ(key_algorithm(build_cert(fields)), KeyAlgorithm::Ec);
    fields.key = KeyType::Rsa;
    EXPECT_EQ(key_algorithm(build_cert(fields)), KeyAlgorithm::Rsa);
    fields.key = KeyType::Ed25519;
    EXPECT_EQ(key_algorithm(build_cert(fields)),
              std::unexpected(AgentError::unsupported("algoritmo de chave pública 1.3.101.112")));
    auto bad = key_algorithm(Bytes{0x30, 0x01});
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind(), ErrorKind::SignFailed);
    EXPECT_TRUE(bad.error().detail().starts_with(X509_INVALID_PREFIX));
    EXPECT_EQ(signature_algorithm_text(KeyAlgorithm::Rsa), "rsa-pkcs1-v1_5");
    EXPECT_EQ(signature_algorithm_text(KeyAlgorithm::Ec), "ecdsa");
}

}  // namespace
}  // namespace tolvex::core
