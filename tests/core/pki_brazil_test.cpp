#include <gtest/gtest.h>

#include "der_builder.hpp"
#include "tolvex/core/cert.hpp"

namespace tolvex::core {
namespace {

using namespace tolvex::test;

constexpr std::string_view PERSON = "2.16.76.1.3.1";
constexpr std::string_view RESPONSIBLE = "2.16.76.1.3.2";
constexpr std::string_view CNPJ = "2.16.76.1.3.3";
constexpr std::string_view RESPONSIBLE_DATA = "2.16.76.1.3.4";

PkiBrazil pki_of(std::vector<Bytes> alt_names, std::string_view subject_cn = "Titular",
                 std::vector<Bytes> more_extensions = {}) {
    CertFields fields;
    fields.subject = seq({set({atv("2.5.4.6", PRINTABLE, "BR")}), cn(subject_cn)});
    if (!alt_names.empty())
        fields.extensions.push_back(san_ext(alt_names));
    for (Bytes& e : more_extensions)
        fields.extensions.push_back(std::move(e));
    auto s = build_summary(build_cert(fields), {});
    EXPECT_TRUE(s.has_value()) << (s ? "" : s.error());
    return s ? s->pki_brazil : PkiBrazil{};
}

TEST(CleanText, TrimsWhiteSpaceThenNuls) {
    EXPECT_EQ(clean_text("  abc \t"), "abc");
    EXPECT_EQ(clean_text(std::string_view("\0 abc \0", 7)), " abc ");
    EXPECT_EQ(clean_text(std::string_view(" \0\0 ", 4)), std::nullopt);
    EXPECT_EQ(clean_text("\xE2\x80\x83"), std::nullopt);  // U+2003 only
    EXPECT_EQ(clean_text(""), std::nullopt);
}

TEST(OtherNameText, WrapperForms) {
    auto text = [](const Bytes& b) { return other_name_text(b); };
    EXPECT_EQ(text(tlv(0xA0, tlv(UTF8, "abc"))), "abc");
    for (std::uint8_t tag : {OCTETS, UTF8, PRINTABLE, IA5, VISIBLE}) {
        EXPECT_EQ(text(tlv(0xA0, tlv(tag, "x"))), "x") << int(tag);
    }
    EXPECT_EQ(text(tlv(0xA0, tlv(BMP, Bytes{0, 'x'}))), std::nullopt);
    EXPECT_EQ(text(tlv(0xA1, tlv(UTF8, "x"))), std::nullopt);
    // Outer long form, its value not checked.
    Bytes digits = bytes_of("12345678000199");
    EXPECT_EQ(text(tlv_len(0xA0, {0x82, 0x00, 0x10}, tlv(UTF8, digits))), "12345678000199");
    EXPECT_EQ(text(tlv_len(0xA0, {0x05}, tlv(UTF8, digits))), "12345678000199");
    EXPECT_EQ(text(Bytes{0xA0, 0x84, 0x00, 0x00}), std::nullopt);  // fewer than N length bytes
    // Inner lengths 81 and 82 accepted, 80 and 83 refused, overruns refused.
    EXPECT_EQ(text(tlv(0xA0, tlv_len(UTF8, {0x81, 0x02}, bytes_of("ab")))), "ab");
    EXPECT_EQ(text(tlv(0xA0, tlv_len(UTF8, {0x82, 0x00, 0x02}, bytes_of("abc")))), "ab");
    EXPECT_EQ(text(tlv(0xA0, tlv_len(UTF8, {0x80}, bytes_of("ab")))), std::nullopt);
    EXPECT_EQ(text(tlv(0xA0, tlv_len(UTF8, {0x83, 0, 0, 2}, bytes_of("ab")))), std::nullopt);
    EXPECT_EQ(text(tlv(0xA0, tlv_len(UTF8, {0x05}, bytes_of("ab")))), std::nullopt);
    EXPECT_EQ(text(tlv(0xA0, tlv_len(UTF8, {0x82, 0x00}, {}))), std::nullopt);
    EXPECT_EQ(text(tlv(0xA0, tlv(UTF8, Bytes{0xFF}))), std::nullopt);
    EXPECT_EQ(text(tlv(0xA0, tlv(UTF8, ""))), "");
    EXPECT_EQ(text(Bytes{0xA0}), std::nullopt);
    EXPECT_EQ(text(Bytes{0xA0, 0x01, 0x0C}), std::nullopt);
}

TEST(PersonData, FieldsByPosition) {
    std::string full =
        std::string("15031980") + "12345678901" + "00000000000" + "000000012345678" + "SSPSP ";
    PersonData d = parse_person_data(full);
    EXPECT_EQ(d.birth_date, "1980-03-15");
    EXPECT_EQ(d.cpf, "12345678901");
    EXPECT_EQ(d.nis, std::nullopt);
    EXPECT_EQ(d.rg, "12345678");
    EXPECT_EQ(d.rg_issuer, "SSPSP");

    EXPECT_EQ(parse_person_data("15031980"), (PersonData{"1980-03-15", {}, {}, {}, {}}));
    EXPECT_EQ(parse_person_data("1503198012345678901"),
              (PersonData{"1980-03-15", "12345678901", {}, {}, {}}));
    EXPECT_EQ(parse_person_data("31022000").birth_date, "2000-02-31");
    EXPECT_EQ(parse_person_data("01010000").birth_date, "0000-01-01");
    EXPECT_EQ(parse_person_data("32012000").birth_date, std::nullopt);
    EXPECT_EQ(parse_person_data("01132000").birth_date, std::nullopt);
    EXPECT_EQ(parse_person_data("00000000").birth_date, std::nullopt);
    EXPECT_EQ(parse_person_data("0101200").birth_date, std::nullopt);

    std::string zeros(30, '0');
    EXPECT_EQ(parse_person_data(zeros + std::string(15, '0') + "000000"), PersonData{});
    EXPECT_EQ(parse_person_data(zeros + "00000000000ABC1").rg, "ABC1");
    EXPECT_EQ(parse_person_data(zeros + "12").rg, "12");  // RG shorter than its field
    EXPECT_EQ(parse_person_data(zeros + std::string(15, '1') + "SP").rg_issuer, "SP");
    EXPECT_EQ(parse_person_data(zeros + std::string(15, '1') + "SP\xC3\xA3").rg_issuer,
              "SP\xC3\xA3");
    // Positions inside a multi-byte character: the fields that need them are absent.
    std::string split = zeros;
    split.append(14, '1');
    split.append("\xC3\xA3SP");
    PersonData s = parse_person_data(split);
    EXPECT_EQ(s.rg, std::nullopt);
    EXPECT_EQ(s.rg_issuer, std::nullopt);
    EXPECT_EQ(parse_person_data("1503198\xC3\xA3").birth_date, std::nullopt);
    EXPECT_EQ(parse_person_data(zeros + std::string(15, '1') + "SSPSP0garbage").rg_issuer,
              "SSPSP0");
}

TEST(ExtractPkiBrazil, PersonAndCompany) {
    std::string person =
        "15031980"
        "12345678901"
        "10987654321"
        "000000012345678"
        "SSPSP ";
    PkiBrazil pf = pki_of({other_name_utf8(PERSON, person), rfc822("a@b.c")});
    EXPECT_EQ(pf.kind, "pf");
    EXPECT_EQ(pf.cpf, "12345678901");
    EXPECT_EQ(pf.birth_date, "1980-03-15");
    EXPECT_EQ(pf.nis, "10987654321");
    EXPECT_EQ(pf.rg, "12345678");
    EXPECT_EQ(pf.rg_issuer, "SSPSP");
    EXPECT_EQ(pf.email, "a@b.c");
    EXPECT_EQ(pf.cnpj, std::nullopt);
    EXPECT_EQ(pf.company_name, std::nullopt);

    PkiBrazil pj = pki_of(
        {other_name_utf8(RESPONSIBLE, " RESPONSAVEL "),
         other_name(CNPJ, tlv(0xA0, tlv(PRINTABLE, " 12345678000199 "))),
         other_name_utf8(RESPONSIBLE_DATA, "0102195011122233344"), other_name_utf8(PERSON, person)},
        "EMPRESA LTDA:12345678000199");
    EXPECT_EQ(pj.kind, "pj");
    EXPECT_EQ(pj.cnpj, "12345678000199");
    EXPECT_EQ(pj.responsible_name, "RESPONSAVEL");
    EXPECT_EQ(pj.responsible_birth_date, "1950-02-01");
    EXPECT_EQ(pj.responsible_cpf, "11122233344");
    EXPECT_EQ(pj.company_name, "EMPRESA LTDA");
    EXPECT_EQ(pj.cpf, "12345678901");
}

TEST(ExtractPkiBrazil, KindAndCompanyName) {
    std::string zero_cpf =
        "15031980"
        "00000000000";
    PkiBrazil none = pki_of({other_name_utf8(PERSON, zero_cpf)});
    EXPECT_EQ(none.kind, std::nullopt);
    EXPECT_EQ(none.birth_date, "1980-03-15");

    for (std::string_view bad : {"12.345.678/0001-99", "00000000000000", "1234567800019"}) {
        PkiBrazil p = pki_of({other_name_utf8(CNPJ, bad)});
        EXPECT_EQ(p.cnpj, std::nullopt) << bad;
        EXPECT_EQ(p.kind, std::nullopt) << bad;
    }
    // A later entry of the same type overrides, also with an absent value.
    PkiBrazil overridden =
        pki_of({other_name_utf8(CNPJ, "12345678000199"), other_name_utf8(CNPJ, "invalid")});
    EXPECT_EQ(overridden.cnpj, std::nullopt);

    // Company name from the subject CN even without a responsible name;
    // absent when the CN is empty.
    EXPECT_EQ(
        pki_of({other_name_utf8(CNPJ, "12345678000199")}, "EMPRESA:12345678000199").company_name,
        "EMPRESA");
    EXPECT_EQ(pki_of({other_name_utf8(CNPJ, "12345678000199")}, "").company_name, std::nullopt);
}

TEST(ExtractPkiBrazil, EntriesThatAreIgnored) {
    PkiBrazil p = pki_of({other_name(CNPJ, tlv(0xA0, tlv(BMP, Bytes{0, '1'}))),
                          other_name(CNPJ, tlv(0xA1, tlv(UTF8, "12345678000199"))),
                          other_name_utf8("2.16.76.1.3.9", "12345678000199"),
                          other_name(CNPJ, tlv(0xA0, tlv_len(UTF8, {0x20}, bytes_of("1234"))))});
    EXPECT_EQ(p, PkiBrazil{});
    // The long-form outer length of the value is skipped.
    PkiBrazil long_form =
        pki_of({other_name(CNPJ, tlv_len(0xA0, {0x82, 0x00, 0x10}, tlv(UTF8, "12345678000199")))});
    EXPECT_EQ(long_form.cnpj, "12345678000199");
}

TEST(ExtractPkiBrazil, FirstNonBlankEmail) {
    PkiBrazil p = pki_of({rfc822("   "), rfc822(" real@example.com "), rfc822("third@x.y")});
    EXPECT_EQ(p.email, "real@example.com");
    EXPECT_EQ(p.kind, std::nullopt);
}

TEST(ExtractPkiBrazil, NoUsableSubjectAltName) {
    // Every field null, even with a CN that ends in ":" and 14 digits.
    EXPECT_EQ(pki_of({}, "EMPRESA:12345678000199"), PkiBrazil{});
    Bytes san = san_ext({other_name_utf8(CNPJ, "12345678000199")});
    EXPECT_EQ(pki_of({}, "EMPRESA:12345678000199", {san, san}), PkiBrazil{});
    EXPECT_EQ(pki_of({}, "X", {extension("2.5.29.17", bytes_of("junk"))}), PkiBrazil{});
    EXPECT_EQ(pki_of({}, "X", {extension("2.5.29.17", seq({}))}), PkiBrazil{});
    EXPECT_EQ(extract_pki_brazil(std::nullopt, {}), PkiBrazil{});
}

}  // namespace
}  // namespace tolvex::core
