#include <gtest/gtest.h>

#include "tolvex/core/cert.hpp"
#include "tolvex/core/digest.hpp"

namespace tolvex::core {
namespace {

TEST(ComputeDigest, Fips180AbcVectors) {
    Bytes abc = {'a', 'b', 'c'};
    EXPECT_EQ(hex_lower(compute_digest(abc, DigestAlgorithm::Sha256)),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex_lower(compute_digest(abc, DigestAlgorithm::Sha384)),
              "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed"
              "8086072ba1e7cc2358baeca134c825a7");
    EXPECT_EQ(hex_lower(compute_digest(abc, DigestAlgorithm::Sha512)),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(hex_lower(compute_digest({}, DigestAlgorithm::Sha256)),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(CheckDigestLengths, LengthOnly) {
    const AgentError mismatch = AgentError::sign_failed(std::string(HASH_LENGTH_MISMATCH));
    for (auto alg : {DigestAlgorithm::Sha256, DigestAlgorithm::Sha384, DigestAlgorithm::Sha512}) {
        std::vector<Bytes> ok = {Bytes(digest_length(alg), 0x00)};
        EXPECT_TRUE(check_digest_lengths(ok, alg).has_value());
        EXPECT_TRUE(
            check_digest_lengths(std::vector<Bytes>{compute_digest({}, alg)}, alg).has_value());
    }
    for (std::size_t n : {0u, 31u, 33u, 48u, 64u}) {
        std::vector<Bytes> one = {Bytes(n, 0x11)};
        EXPECT_EQ(check_digest_lengths(one, DigestAlgorithm::Sha256), std::unexpected(mismatch))
            << n;
    }
    EXPECT_EQ(check_digest_lengths({}, DigestAlgorithm::Sha256), std::unexpected(mismatch));

    std::vector<Bytes> batch(500, Bytes(32, 0x22));
    EXPECT_TRUE(check_digest_lengths(batch, DigestAlgorithm::Sha256).has_value());
    batch.back().pop_back();
    EXPECT_EQ(check_digest_lengths(batch, DigestAlgorithm::Sha256), std::unexpected(mismatch));
    EXPECT_EQ(mismatch.message(), "falha ao assinar: tamanho do hash não corresponde ao algoritmo");
}

TEST(DigestInfo, Rfc8017Prefixes) {
    // RFC 8017, section 9.2, note 1.
    struct Case {
        DigestAlgorithm alg;
        std::string_view prefix;
    };
    for (auto [alg, prefix] :
         {Case{DigestAlgorithm::Sha256, "3031300d060960864801650304020105000420"},
          Case{DigestAlgorithm::Sha384, "3041300d060960864801650304020205000430"},
          Case{DigestAlgorithm::Sha512, "3051300d060960864801650304020305000440"}}) {
        Bytes digest = compute_digest(Bytes{'x'}, alg);
        Bytes info = digest_info(alg, digest);
        ASSERT_EQ(info.size(), 19 + digest_length(alg));
        EXPECT_EQ(hex_lower(std::span(info).first(19)), prefix);
        EXPECT_TRUE(std::equal(digest.begin(), digest.end(), info.begin() + 19));
    }
}

}  // namespace
}  // namespace tolvex::core
