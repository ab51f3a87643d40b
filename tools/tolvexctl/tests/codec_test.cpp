#include <gtest/gtest.h>

#include "codec.hpp"

namespace tolvexctl {
namespace {

TEST(Base64, EncodesAllPaddingForms) {
    EXPECT_EQ(base64_encode(""), "");
    EXPECT_EQ(base64_encode("A"), "QQ==");
    EXPECT_EQ(base64_encode("AB"), "QUI=");
    EXPECT_EQ(base64_encode("ABC"), "QUJD");
    EXPECT_EQ(base64_encode(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(Base64, DecodesOnlyCanonicalText) {
    EXPECT_EQ(base64_decode("QQ=="), "A");
    EXPECT_EQ(base64_decode("QUI="), "AB");
    EXPECT_EQ(base64_decode(""), "");
    EXPECT_FALSE(base64_decode("QQ"));        // padding missing
    EXPECT_FALSE(base64_decode("QR=="));      // unused bits set
    EXPECT_FALSE(base64_decode("Q==="));      // too much padding
    EXPECT_FALSE(base64_decode("QQ==QUJD"));  // data after padding
    EXPECT_FALSE(base64_decode("Q-_A"));      // URL-safe alphabet
    EXPECT_FALSE(base64_decode("QU JD"));
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    EXPECT_EQ(base64_decode(base64_encode(all)), all);
}

}  // namespace
}  // namespace tolvexctl
