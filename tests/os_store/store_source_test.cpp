#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_store_api.hpp"
#include "sign_listed.hpp"
#include "test_certs.hpp"
#include "tolvex/os_store/store_source.hpp"

namespace tolvex::testing {
namespace {

using core::DigestAlgorithm;
using core::ErrorKind;
using core::KeyStorage;
using os_store::WindowsStoreSource;

const TestCertificate& rsa_cert() {
    static const TestCertificate cert = make_test_certificate("Ana RSA");
    return cert;
}
const TestCertificate& other_rsa_cert() {
    static const TestCertificate cert = make_test_certificate("Bia RSA");
    return cert;
}
const TestCertificate& ec_cert() {
    static const TestCertificate cert = make_test_certificate("Caio EC", TestKeyType::EcP256);
    return cert;
}

FakeCertificate keyed(const TestCertificate& cert, std::u16string provider = u"Fake Provider") {
    FakeCertificate c;
    c.der = cert.der;
    c.property.provider = provider + u'\0';
    return c;
}

struct Fixture : ::testing::Test {
    std::shared_ptr<FakeStoreApi> api = std::make_shared<FakeStoreApi>();
    WindowsStoreSource source{api};
    core::Bytes digest32 = core::Bytes(32, 0xAB);
    core::Bytes digest48 = core::Bytes(48, 0xCD);

    // Signing as the agent does; the listing's calls are forgotten, each
    // test looks at the signing's.
    core::Result<std::vector<core::Bytes>> sign_batch(const core::Bytes& der,
                                                      std::span<const core::Bytes> digests,
                                                      DigestAlgorithm alg, core::PinView pin,
                                                      const std::function<void()>& change = {}) {
        return test::sign_listed(source, der, digests, alg, pin, [&] {
            api->calls.clear();
            if (change)
                change();
        });
    }
    core::Result<core::Bytes> sign_one(const core::Bytes& der, const core::Bytes& digest,
                                       DigestAlgorithm alg, core::PinView pin,
                                       const std::function<void()>& change = {}) {
        auto signatures = sign_batch(der, std::span(&digest, 1), alg, pin, change);
        if (!signatures)
            return std::unexpected(signatures.error());
        return std::move(signatures->front());
    }

    void expect_all_released() const {
        EXPECT_EQ(api->open_stores, 0);
        EXPECT_EQ(api->live_contexts, 0);
        EXPECT_EQ(api->live_keys, 0);
        EXPECT_EQ(api->live_hashes, 0);
    }
};

using StoreListing = Fixture;

TEST_F(StoreListing, OpensTheUsersPersonalStoreReadOnlyAndClosesIt) {
    const auto listing = source.open()->list_certificates();
    EXPECT_TRUE(listing.certificates.empty());
    EXPECT_TRUE(listing.warnings.empty());

    const auto opens = api->all("CertOpenStore");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0]->args, (std::vector<std::uintptr_t>{10, 0, 0, 0x0001C000}));
    EXPECT_EQ(opens[0]->text, (std::u16string{u'M', u'Y', 0}));
    const auto closes = api->all("CertCloseStore");
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0]->args[1], 0u);
    expect_all_released();
}

TEST_F(StoreListing, StoreThatCannotBeOpenedIsOneWarning) {
    api->open_error = 5;
    api->certificates.push_back(keyed(rsa_cert()));
    const auto listing = source.open()->list_certificates();
    EXPECT_TRUE(listing.certificates.empty());
    ASSERT_EQ(listing.warnings.size(), 1u);
    EXPECT_EQ(listing.warnings[0].origin, "MY");
    EXPECT_EQ(listing.warnings[0].message, "CertOpenStore falhou (erro 5)");
    EXPECT_EQ(api->count("CertCloseStore"), 0);
}

TEST_F(StoreListing, ListsKeyedCertificatesInStoreOrderHoldingOneContextAtATime) {
    FakeCertificate without_key;
    without_key.der = other_rsa_cert().der;
    without_key.has_property = false;
    api->certificates = {keyed(rsa_cert(), u"Microsoft Software Key Storage Provider"), without_key,
                         keyed(rsa_cert(), u"Fake Smart Card Provider"), keyed(ec_cert())};

    const auto listing = source.open()->list_certificates();
    ASSERT_EQ(listing.certificates.size(), 3u);
    // Identical encodings are both listed; the one without a key is not.
    EXPECT_EQ(listing.certificates[0].der, rsa_cert().der);
    EXPECT_EQ(listing.certificates[1].der, rsa_cert().der);
    EXPECT_EQ(listing.certificates[2].der, ec_cert().der);
    const auto& first = listing.certificates[0];
    EXPECT_EQ(first.location, "MY");
    EXPECT_EQ(first.source, core::SourceKind::Os);
    EXPECT_FALSE(first.requires_pin);
    EXPECT_EQ(first.provider, "Microsoft Software Key Storage Provider");
    EXPECT_EQ(first.key_storage, KeyStorage::File);
    EXPECT_EQ(listing.certificates[1].key_storage, KeyStorage::Token);
    EXPECT_TRUE(listing.warnings.empty());

    EXPECT_EQ(api->max_live_contexts, 1);
    EXPECT_EQ(api->count("CertEnumCertificatesInStore"), 5);
    EXPECT_EQ(api->count("CertFreeCertificateContext"), 0);
    // Keyed: size, size, read. Without key: one size query.
    EXPECT_EQ(api->count("CertGetCertificateContextProperty"), 3 * 3 + 1);
    expect_all_released();
}

TEST_F(StoreListing, ProviderNameRules) {
    std::u16string long_name(600, u'a');  // no NUL among the first 512 units
    FakeCertificate null_name = keyed(rsa_cert());
    null_name.property.provider_null = true;
    FakeCertificate second_query_fails = keyed(rsa_cert());
    second_query_fails.second_size_query_fails = true;
    FakeCertificate zero_size = keyed(rsa_cert());
    zero_size.report_zero_size = true;
    FakeCertificate read_fails = keyed(rsa_cert());
    read_fails.read_fails = true;
    api->certificates = {
        keyed(rsa_cert(), u"   "),
        keyed(rsa_cert(), u" Example Software Key Storage Provider\t"),
        keyed(rsa_cert(), long_name),
        keyed(rsa_cert(), u"Cart\u00e3o \xD800X \xDC00"),
        keyed(rsa_cert(), u"\u3000\u00a0"),
        null_name,
        second_query_fails,
        zero_size,
        read_fails,
    };

    const auto listing = source.open()->list_certificates();
    ASSERT_EQ(listing.certificates.size(), 9u);
    const auto& c = listing.certificates;
    EXPECT_EQ(c[0].provider, std::nullopt);
    EXPECT_EQ(c[0].key_storage, KeyStorage::Unknown);
    EXPECT_EQ(c[1].provider, " Example Software Key Storage Provider\t");
    EXPECT_EQ(c[1].key_storage, KeyStorage::File);
    EXPECT_EQ(c[2].provider, std::string(512, 'a'));
    EXPECT_EQ(c[3].provider, "Cart\xC3\xA3o \xEF\xBF\xBDX \xEF\xBF\xBD");
    EXPECT_EQ(c[3].key_storage, KeyStorage::Token);
    for (std::size_t i = 4; i < 9; ++i) {
        EXPECT_EQ(c[i].provider, std::nullopt) << i;
        EXPECT_EQ(c[i].key_storage, KeyStorage::Unknown) << i;
        EXPECT_EQ(c[i].der, rsa_cert().der) << i;
    }
    expect_all_released();
}

using StoreSigning = Fixture;

TEST_F(StoreSigning, CngRsaKeyGetsPinAndPkcs1PaddingNamedByAlgorithm) {
    api->certificates = {keyed(other_rsa_cert()), keyed(rsa_cert())};
    const auto sig = sign_batch(rsa_cert().der, std::vector<core::Bytes>{digest48},
                                DigestAlgorithm::Sha384, "1234");
    ASSERT_TRUE(sig.has_value()) << sig.error().message();
    ASSERT_EQ(sig->size(), 1u);
    EXPECT_EQ((*sig)[0], api->cng_signature);

    const auto acquire = api->all("CryptAcquireCertificatePrivateKey");
    ASSERT_EQ(acquire.size(), 1u);
    EXPECT_EQ(acquire[0]->args[1], 0x00020000u);
    EXPECT_EQ(acquire[0]->args[2], 0u);

    const auto pin = api->all("NCryptSetProperty");
    ASSERT_EQ(pin.size(), 1u);
    EXPECT_EQ(pin[0]->text, u"SmartCardPin");
    EXPECT_EQ(pin[0]->args[1], 10u);  // 2 x (4 units + NUL)
    EXPECT_EQ(pin[0]->args[2], 0u);
    EXPECT_EQ(pin[0]->bytes, (std::vector<std::uint8_t>{'1', 0, '2', 0, '3', 0, '4', 0, 0, 0}));

    const auto signs = api->all("NCryptSignHash");
    ASSERT_EQ(signs.size(), 2u);
    for (const auto* s : signs) {
        EXPECT_EQ(s->text, u"SHA384");
        EXPECT_EQ(s->args[1], 1u);  // padding info given
        EXPECT_EQ(s->args[5], 2u);  // kBcryptPadPkcs1
        EXPECT_EQ(s->bytes, digest48);
    }
    EXPECT_EQ(signs[0]->args[3], 0u);  // size query: no buffer, length 0
    EXPECT_EQ(signs[0]->args[4], 0u);
    EXPECT_EQ(signs[1]->args[4], api->cng_signature.size());

    // Key, then context, then store.
    const auto names = api->names();
    const std::vector<std::string> tail(names.end() - 3, names.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"NCryptFreeObject", "CertFreeCertificateContext",
                                              "CertCloseStore"}));
    expect_all_released();
}

TEST_F(StoreSigning, CngEcKeySignsWithoutPaddingAndTakesTheSmallerSize) {
    api->certificates = {keyed(ec_cert())};
    api->cng_second_size = 3;
    const auto sig = sign_one(ec_cert().der, digest32, DigestAlgorithm::Sha256, std::nullopt);
    ASSERT_TRUE(sig.has_value()) << sig.error().message();
    EXPECT_EQ(*sig, (std::vector<std::uint8_t>{0xC1, 0xC2, 0xC3}));
    EXPECT_EQ(api->count("NCryptSetProperty"), 0);
    for (const auto* s : api->all("NCryptSignHash")) {
        EXPECT_EQ(s->args[1], 0u);
        EXPECT_EQ(s->args[5], 0u);
    }
    expect_all_released();
}

TEST_F(StoreSigning, RejectedPinPropertyIsAWindowsErrorAndNothingIsSigned) {
    api->certificates = {keyed(rsa_cert())};
    api->scripted["NCryptSetProperty"][0] = os_store::kNteNotSupported;
    const auto sig = sign_one(rsa_cert().der, digest32, DigestAlgorithm::Sha256, "");
    ASSERT_FALSE(sig.has_value());
    EXPECT_EQ(sig.error().kind(), ErrorKind::SignFailed);
    EXPECT_EQ(sig.error().detail(), "erro do Windows 0x80090029");
    // An empty PIN is still presented: just the NUL.
    EXPECT_EQ(api->all("NCryptSetProperty")[0]->args[1], 2u);
    EXPECT_EQ(api->count("NCryptSignHash"), 0);
    expect_all_released();
}

TEST_F(StoreSigning, LegacyProviderSignatureIsReversedAndReleased) {
    FakeCertificate cert = keyed(rsa_cert());
    cert.key_spec = os_store::kAtSignature;
    api->certificates = {cert};
    const auto sig = sign_one(rsa_cert().der, digest48, DigestAlgorithm::Sha384, "12\u00e9");
    ASSERT_TRUE(sig.has_value()) << sig.error().message();
    EXPECT_EQ(*sig, (std::vector<std::uint8_t>{0x03, 0x02, 0x01}));

    const auto pin = api->all("CryptSetProvParam");
    ASSERT_EQ(pin.size(), 1u);
    EXPECT_EQ(pin[0]->args[1], 0x21u);
    EXPECT_EQ(pin[0]->args[2], 0u);
    EXPECT_EQ(pin[0]->bytes, (std::vector<std::uint8_t>{'1', '2', 0xC3, 0xA9, 0}));
    const auto create = api->all("CryptCreateHash");
    ASSERT_EQ(create.size(), 1u);
    EXPECT_EQ(create[0]->args, (std::vector<std::uintptr_t>{create[0]->args[0], 0x800D, 0, 0}));
    EXPECT_EQ(api->all("CryptSetHashParam")[0]->args[1], 2u);
    EXPECT_EQ(api->all("CryptSetHashParam")[0]->bytes, digest48);
    const auto signs = api->all("CryptSignHashW");
    ASSERT_EQ(signs.size(), 2u);
    for (const auto* s : signs) {
        EXPECT_EQ(s->args[1], 2u);  // the key spec the platform returned
        EXPECT_EQ(s->args[2], 0u);
        EXPECT_EQ(s->args[3], 0u);
    }
    EXPECT_EQ(signs[0]->args[4], 0u);
    EXPECT_EQ(signs[1]->args[4], 1u);
    const auto names = api->names();
    const std::vector<std::string> tail(names.end() - 4, names.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"CryptDestroyHash", "CryptReleaseContext",
                                              "CertFreeCertificateContext", "CertCloseStore"}));
    EXPECT_EQ(api->all("CryptReleaseContext")[0]->args[1], 0u);
    expect_all_released();
}

TEST_F(StoreSigning, LegacyProviderFailuresReleaseEverything) {
    FakeCertificate cert = keyed(rsa_cert());
    cert.key_spec = os_store::kAtKeyexchange;
    api->certificates = {cert};
    for (const char* call :
         {"CryptSetProvParam", "CryptCreateHash", "CryptSetHashParam", "CryptSignHashW"}) {
        api->scripted.clear();
        api->scripted[call][0] = os_store::kScardWChvBlocked;
        const auto sig = sign_one(rsa_cert().der, digest32, DigestAlgorithm::Sha256, "1");
        ASSERT_FALSE(sig.has_value()) << call;
        EXPECT_EQ(sig.error().kind(), ErrorKind::PinLocked) << call;
        expect_all_released();
    }
}

TEST_F(StoreSigning, EcKeyBehindLegacyProviderIsRefusedBeforeThePin) {
    FakeCertificate cert = keyed(ec_cert());
    cert.key_spec = os_store::kAtSignature;
    api->certificates = {cert};
    const auto sig = sign_one(ec_cert().der, digest32, DigestAlgorithm::Sha256, "1234");
    ASSERT_FALSE(sig.has_value());
    EXPECT_EQ(sig.error().kind(), ErrorKind::Unsupported);
    EXPECT_EQ(sig.error().detail(), "ECDSA em provedor CAPI legado");
    EXPECT_EQ(api->count("CryptSetProvParam"), 0);
    EXPECT_EQ(api->count("CryptCreateHash"), 0);
    expect_all_released();
}

TEST_F(StoreSigning, NoProviderIsHandedADigestOfTheWrongLength) {
    FakeCertificate legacy = keyed(rsa_cert());
    legacy.key_spec = os_store::kAtSignature;
    for (const auto& cert : {legacy, keyed(rsa_cert())}) {
        api->certificates = {cert};
        const auto sig = sign_one(rsa_cert().der, digest32, DigestAlgorithm::Sha512, "1");
        ASSERT_FALSE(sig.has_value());
        EXPECT_EQ(sig.error().detail(), "tamanho do hash não corresponde ao algoritmo");
    }
    EXPECT_EQ(api->count("CryptAcquireCertificatePrivateKey"), 0);
    expect_all_released();
}

TEST_F(StoreSigning, CertificateGoneFromItsPlaceSinceTheListingIsKeyNotFound) {
    // Its key-provider property removed, or another certificate in its place.
    const std::vector<std::function<void()>> changes{
        [&] { api->certificates[1].has_property = false; },
        [&] { api->certificates[1] = keyed(other_rsa_cert()); },
        [&] { api->certificates.erase(api->certificates.begin()); }};
    for (const auto& change : changes) {
        api->certificates = {keyed(ec_cert()), keyed(rsa_cert())};
        const auto sig =
            sign_one(rsa_cert().der, digest32, DigestAlgorithm::Sha256, std::nullopt, change);
        ASSERT_FALSE(sig.has_value());
        EXPECT_EQ(sig.error().kind(), ErrorKind::KeyNotFound);
        EXPECT_EQ(api->count("CryptAcquireCertificatePrivateKey"), 0);
    }
    expect_all_released();
}

TEST_F(StoreSigning, FailuresBeforeTheKey) {
    const core::Bytes garbage{0x30, 0x03, 0x02, 0x01};
    FakeCertificate unparseable = keyed(rsa_cert());
    unparseable.der = garbage;
    api->certificates = {unparseable, keyed(rsa_cert())};
    auto sig = sign_one(garbage, digest32, DigestAlgorithm::Sha256, std::nullopt);
    ASSERT_FALSE(sig.has_value());
    EXPECT_EQ(sig.error().kind(), ErrorKind::SignFailed);
    EXPECT_TRUE(sig.error().detail().starts_with("X.509 inválido: "));
    EXPECT_EQ(api->count("CertOpenStore"), 0);

    sig = sign_one(rsa_cert().der, digest32, DigestAlgorithm::Sha256, std::nullopt,
                   [&] { api->open_error = 2; });
    ASSERT_FALSE(sig.has_value());
    EXPECT_EQ(sig.error().kind(), ErrorKind::SignFailed);
    EXPECT_EQ(sig.error().detail(), "CertOpenStore falhou (erro 2)");
    expect_all_released();
}

TEST_F(StoreSigning, PlatformCodesMapToErrorKinds) {
    const std::vector<std::pair<Dword, ErrorKind>> table{
        {0x80090036, ErrorKind::UserCancelled}, {0x8010006B, ErrorKind::PinIncorrect},
        {0x8010006C, ErrorKind::PinLocked},     {0x8010006E, ErrorKind::UserCancelled},
        {0x000004C7, ErrorKind::UserCancelled}, {0x00000005, ErrorKind::SignFailed},
    };
    FakeCertificate cert = keyed(rsa_cert());
    api->certificates = {cert};
    for (const auto& [code, kind] : table) {
        api->certificates[0].acquire_error = code;
        const auto sig = sign_one(rsa_cert().der, digest32, DigestAlgorithm::Sha256, std::nullopt);
        ASSERT_FALSE(sig.has_value());
        EXPECT_EQ(sig.error().kind(), kind) << std::hex << code;
    }
    EXPECT_EQ(os_store::windows_error_kind(5).detail(), "erro do Windows 0x00000005");
    EXPECT_EQ(os_store::windows_error_kind(0x8009002A).detail(), "erro do Windows 0x8009002A");
    EXPECT_EQ(os_store::windows_error_kind(0x8010006B).detail(), "");
    expect_all_released();
}

TEST_F(StoreSigning, KeyNotOwnedByTheCallerIsNotFreed) {
    FakeCertificate cert = keyed(rsa_cert());
    cert.caller_free = false;
    api->certificates = {cert};
    ASSERT_TRUE(sign_one(rsa_cert().der, digest32, DigestAlgorithm::Sha256, std::nullopt));
    EXPECT_EQ(api->count("NCryptFreeObject"), 0);
    EXPECT_EQ(api->live_keys, 1);  // still the platform's
}

TEST_F(StoreSigning, BatchMakesOneFullPassPerHashAndStopsAtTheFirstFailure) {
    api->certificates = {keyed(rsa_cert())};
    const std::vector<core::Bytes> three(3, digest32);
    auto sigs = sign_batch(rsa_cert().der, three, DigestAlgorithm::Sha256, "1234");
    ASSERT_TRUE(sigs.has_value());
    EXPECT_EQ(sigs->size(), 3u);
    EXPECT_EQ(api->count("CertOpenStore"), 3);
    EXPECT_EQ(api->count("CryptAcquireCertificatePrivateKey"), 3);
    EXPECT_EQ(api->count("NCryptSetProperty"), 3);
    EXPECT_EQ(api->count("CertCloseStore"), 3);

    api->calls.clear();
    api->scripted["NCryptSetProperty"][5] = os_store::kScardWWrongChv;  // the second hash
    sigs = sign_batch(rsa_cert().der, three, DigestAlgorithm::Sha256, "1234");
    ASSERT_FALSE(sigs.has_value());
    EXPECT_EQ(sigs.error().kind(), ErrorKind::PinIncorrect);
    EXPECT_EQ(api->count("CertOpenStore"), 2);
    expect_all_released();
}

TEST(StoreText, Utf8ToUtf16) {
    EXPECT_EQ(os_store::utf8_to_utf16("a\xC3\xA3\xF0\x9F\x94\x91"), u"a\u00e3\U0001F511");
    EXPECT_EQ(os_store::utf8_to_utf16("\xFF"
                                      "b\xC3"),
              u"\uFFFDb\uFFFD");
    EXPECT_EQ(os_store::utf16_to_utf8(u"\U0001F511"), "\xF0\x9F\x94\x91");
}

}  // namespace
}  // namespace tolvex::testing
