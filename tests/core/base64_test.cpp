#include <random>

#include <gtest/gtest.h>

#include "tolvex/core/base64.hpp"

namespace tolvex::core {
namespace {

Bytes b(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

TEST(Base64, Rfc4648Vectors) {
    struct Case {
        std::string_view plain, encoded;
    };
    for (auto [plain, encoded] :
         {Case{"", ""}, Case{"f", "Zg=="}, Case{"fo", "Zm8="}, Case{"foo", "Zm9v"},
          Case{"foob", "Zm9vYg=="}, Case{"fooba", "Zm9vYmE="}, Case{"foobar", "Zm9vYmFy"}}) {
        EXPECT_EQ(base64_encode(b(plain)), encoded);
        EXPECT_EQ(base64_decode(encoded), b(plain));
    }
    EXPECT_EQ(base64_encode(Bytes{0xFB, 0xFF, 0xBF}), "+/+/");
    EXPECT_EQ(base64_decode("+/+/"), (Bytes{0xFB, 0xFF, 0xBF}));
}

TEST(Base64, RefusesEverythingNonCanonical) {
    EXPECT_EQ(base64_decode("QQ=="), b("A"));
    for (std::string_view bad :
         {"QQ",       "QQ=",      "QR==",  "QUI=QUI=", "QUJ=",   "Q===",      "====",
          "=QQQ",     "QQ==QQ==", "QQ ==", " QQ==",    "QQ==\n", "QQ\r\n==",  "-_-_",
          "Zm9v_A==", "Zm9v-A==", "Zm9",   "Zm9v\t",   "Zm9v!",  "Zm\xC3\xA3"}) {
        EXPECT_EQ(base64_decode(bad), std::nullopt) << bad;
    }
}

TEST(Base64, RoundTripsAllLengths) {
    std::mt19937 rng(7);
    for (std::size_t n = 0; n < 100; ++n) {
        Bytes data(n);
        for (auto& x : data)
            x = static_cast<std::uint8_t>(rng());
        std::string text = base64_encode(data);
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(base64_decode(text), data);
    }
}

}  // namespace
}  // namespace tolvex::core
