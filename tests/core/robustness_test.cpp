#include <random>

#include <gtest/gtest.h>

#include "der_builder.hpp"
#include "tolvex/core/base64.hpp"
#include "tolvex/core/cert.hpp"
#include "tolvex/core/key_storage.hpp"

namespace tolvex::core {
namespace {

using namespace tolvex::test;

// A certificate that exercises every reader: multi-valued RDNs, several
// string tags, extensions with otherName and rfc822Name entries.
Bytes rich_certificate() {
    CertFields fields;
    fields.serial = {0x00, 0x8F, 0x10};
    fields.subject = seq({set({atv("2.5.4.6", PRINTABLE, "BR")}),
                          set({atv("2.5.4.11", UTF8, "A"), atv("2.5.4.11", BMP, Bytes{0, 'B'})}),
                          set({atv("2.5.4.10", TELETEX, "T")}), cn("EMPRESA LTDA:12345678000199")});
    fields.not_after = gen_time("20270510140322.25-0300");
    fields.extensions = {
        key_usage_ext(0x03), basic_constraints_ext(false),
        san_ext(
            {other_name_utf8("2.16.76.1.3.1", "150319801234567890110987654321000000012345678SSP"),
             other_name("2.16.76.1.3.3",
                        tlv_len(0xA0, {0x82, 0x00, 0x10}, tlv(UTF8, "12345678000199"))),
             rfc822("a@b.c")})};
    return build_cert(fields);
}

// Names OpenSSL refuses (VisibleString, invalid UTF-8), so the certificate
// goes through the second parse with blanked names.
Bytes refused_names_certificate() {
    CertFields fields;
    fields.issuer = seq({set({atv("2.5.4.3", VISIBLE, "AC")})});
    fields.subject = seq({set({atv("2.5.4.3", UTF8, Bytes{0xC3, 0x28})}), cn("X")});
    fields.extensions = {key_usage_ext(0x01)};
    return build_cert(fields);
}

void expect_summary_or_parser_failure(const Bytes& der) {
    auto s = build_summary(der, {});
    if (s) {
        EXPECT_EQ(s->thumbprint, compute_thumbprint(der));
    } else {
        ASSERT_TRUE(s.error().starts_with(X509_INVALID_PREFIX)) << s.error();
    }
    auto k = key_algorithm(der);
    if (!k) {
        EXPECT_TRUE(k.error().kind() == ErrorKind::SignFailed ||
                    k.error().kind() == ErrorKind::Unsupported);
    }
}

TEST(Robustness, EveryTruncationFailsCleanly) {
    Bytes der = rich_certificate();
    auto full = build_summary(der, {});
    ASSERT_TRUE(full.has_value()) << full.error();
    EXPECT_EQ(full->pki_brazil.kind, "pj");
    Bytes refused = refused_names_certificate();
    for (std::size_t n = 0; n < refused.size(); ++n) {
        Bytes cut(refused.begin(), refused.begin() + static_cast<std::ptrdiff_t>(n));
        ASSERT_FALSE(build_summary(cut, {}).has_value()) << n;
    }
    for (std::size_t n = 0; n < der.size(); ++n) {
        Bytes cut(der.begin(), der.begin() + static_cast<std::ptrdiff_t>(n));
        auto s = build_summary(cut, {});
        ASSERT_FALSE(s.has_value()) << n;
        ASSERT_TRUE(s.error().starts_with(X509_INVALID_PREFIX)) << s.error();
    }
}

TEST(Robustness, RandomMutationsNeverCrash) {
    const Bytes bases[] = {rich_certificate(), refused_names_certificate()};
    ASSERT_TRUE(build_summary(bases[1], {}).has_value());
    std::mt19937 rng(20240510);
    for (int round = 0; round < 10000; ++round) {
        Bytes m = bases[round % 2];
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            std::size_t pos = rng() % m.size();
            switch (rng() % 4) {
                case 0:
                    m[pos] = static_cast<std::uint8_t>(rng());
                    break;
                case 1:
                    m[pos] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
                    break;
                case 2:
                    m.erase(m.begin() + static_cast<std::ptrdiff_t>(pos));
                    break;
                default:
                    m.insert(m.begin() + static_cast<std::ptrdiff_t>(pos),
                             static_cast<std::uint8_t>(rng()));
            }
            if (m.empty())
                m.push_back(0x30);
        }
        expect_summary_or_parser_failure(m);
    }
}

TEST(Robustness, ReadersOnArbitraryBytes) {
    std::mt19937 rng(99);
    for (int round = 0; round < 20000; ++round) {
        Bytes junk(rng() % 40);
        for (auto& x : junk)
            x = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0x30 : rng());
        (void)parse_name(junk);
        (void)parse_general_names(junk);
        (void)other_name_text(junk);
        std::string text(junk.begin(), junk.end());
        (void)parse_person_data(text);
        (void)clean_text(text);
        (void)classify_key_storage(text);
        (void)parse_cert_time(0x18, text);
        (void)base64_decode(text);
    }
}

}  // namespace
}  // namespace tolvex::core
