#include "framing.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace tolvex::agent {
namespace {

using test::TempFile;

std::string frame(const std::string& body) {
    auto n = static_cast<std::uint32_t>(body.size());
    std::string out;
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
    return out + body;
}

TEST(Framing, WrittenFramesReadBackAcrossBufferBoundaries) {
    TempFile file;
    std::vector<std::string> bodies = {"",
                                       "x",
                                       std::string(kStreamBufferBytes - 4, 'a'),
                                       std::string(kStreamBufferBytes, 'b'),
                                       std::string(kStreamBufferBytes + 1, 'c'),
                                       std::string(MAX_MESSAGE_BYTES, 'd'),
                                       "{\"id\":\"7\"}"};
    {
        FrameWriter writer(file.fd());
        for (const auto& body : bodies)
            ASSERT_TRUE(write_message(writer, body).has_value());
    }
    std::string stream = file.contents();
    std::string expected;
    for (const auto& body : bodies)
        expected += frame(body);
    ASSERT_EQ(stream, expected);  // little-endian length, body, nothing else

    FrameReader reader(file.fd());
    for (const auto& body : bodies) {
        auto got = read_message(reader);
        ASSERT_TRUE(got.has_value()) << got.error();
        ASSERT_TRUE(got->has_value());
        EXPECT_EQ(**got, body);
    }
    auto end = read_message(reader);
    ASSERT_TRUE(end.has_value());
    EXPECT_FALSE(end->has_value());  // clean end at a frame boundary
}

TEST(Framing, EmptyStreamIsEndOfInput) {
    TempFile file;
    FrameReader reader(file.fd());
    auto got = read_message(reader);
    ASSERT_TRUE(got.has_value());
    EXPECT_FALSE(got->has_value());
}

TEST(Framing, EndInsideAFrameIsAnError) {
    for (std::string input :
         {std::string("\x05\x00", 2), std::string("\x01", 1), frame("abcdef").substr(0, 7)}) {
        TempFile file;
        file.write(input);
        FrameReader reader(file.fd());
        auto got = read_message(reader);
        ASSERT_FALSE(got.has_value()) << input.size();
        EXPECT_EQ(got.error(), "failed to fill whole buffer");
    }
}

TEST(Framing, OversizedLengthIsRefusedWithoutReadingTheBody) {
    TempFile file;
    file.write(std::string("\x01\x00\x10\x00", 4) + "{}");
    FrameReader reader(file.fd());
    auto got = read_message(reader);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), "mensagem de 1048577 bytes excede o limite");
    char next = 0;
    ASSERT_EQ(reader.read_some(&next, 1).value_or(0), 1u);
    EXPECT_EQ(next, '{');  // the body was neither read nor skipped

    TempFile huge;
    huge.write("\xff\xff\xff\xff");
    FrameReader huge_reader(huge.fd());
    EXPECT_EQ(read_message(huge_reader).error(), "mensagem de 4294967295 bytes excede o limite");
}

TEST(Framing, OversizedResponseWritesNothing) {
    TempFile file;
    FrameWriter writer(file.fd());
    auto got = write_message(writer, std::string(MAX_MESSAGE_BYTES + 1, 'x'));
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), "resposta excede o limite do Native Messaging");
    EXPECT_EQ(file.contents(), "");
}

TEST(Framing, WriteFailureCarriesTheSystemText) {
    FrameWriter writer(-1);
    auto got = write_message(writer, "{}");
    ASSERT_FALSE(got.has_value());
    EXPECT_NE(got.error().find("os error"), std::string::npos) << got.error();
}

}  // namespace
}  // namespace tolvex::agent
