#include "tolvex/framing/frame.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace tolvex::framing {
namespace {

using test::TempFile;

// Reads one frame from a file holding `stream`.
std::expected<std::string, FrameError> first_frame(const std::string& stream) {
    TempFile file;
    file.write(stream);
    FdStream in(file.fd());
    BufferedReader reader(in);
    return read_frame(reader);
}

TEST(Framing, WrittenFramesReadBackAcrossBufferBoundaries) {
    TempFile file;
    std::vector<std::string> bodies = {"",
                                       "x",
                                       std::string(STREAM_BUFFER_BYTES - 4, 'a'),
                                       std::string(STREAM_BUFFER_BYTES, 'b'),
                                       std::string(STREAM_BUFFER_BYTES + 1, 'c'),
                                       std::string(MAX_FRAME_BYTES, 'd'),
                                       "{\"id\":\"7\"}"};
    FdStream stream(file.fd());
    {
        BufferedWriter writer(stream);
        for (const auto& body : bodies)
            ASSERT_TRUE(write_frame(writer, body).has_value());
    }
    std::string expected;
    for (const auto& body : bodies)
        expected += encode_frame(body);
    ASSERT_EQ(file.contents(), expected);  // little-endian length, body, nothing else
    EXPECT_EQ(encode_frame(std::string(0x010203, 'a')).substr(0, 4),
              std::string("\x03\x02\x01\x00", 4));

    BufferedReader reader(stream);
    for (const auto& body : bodies) {
        auto got = read_frame(reader);
        ASSERT_TRUE(got.has_value()) << got.error().text;
        EXPECT_EQ(*got, body);
    }
    auto end = read_frame(reader);
    ASSERT_FALSE(end.has_value());
    EXPECT_EQ(end.error().fault, FrameFault::Ended);  // clean end at a frame boundary
}

TEST(Framing, EmptyStreamIsEndOfInput) {
    auto got = first_frame("");
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().fault, FrameFault::Ended);
}

TEST(Framing, EndInsideAFrameIsAnError) {
    for (std::string input : {std::string("\x05\x00", 2), std::string("\x01", 1),
                              encode_frame("abcdef").substr(0, 7)}) {
        auto got = first_frame(input);
        ASSERT_FALSE(got.has_value()) << input.size();
        EXPECT_EQ(got.error().fault, FrameFault::Truncated);
        EXPECT_EQ(got.error().text, "failed to fill whole buffer");
    }
}

TEST(Framing, OversizedLengthIsRefusedWithoutReadingTheBody) {
    TempFile file;
    file.write(std::string("\x01\x00\x10\x00", 4) + "{}");
    FdStream in(file.fd());
    BufferedReader reader(in);
    auto got = read_frame(reader);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().text, "mensagem de 1048577 bytes excede o limite");
    EXPECT_EQ(got.error().length, 1048577u);
    char next = 0;
    ASSERT_EQ(reader.read_some(&next, 1).value_or(0), 1u);
    EXPECT_EQ(next, '{');  // the body was neither read nor skipped

    EXPECT_EQ(first_frame("\xff\xff\xff\xff").error().text,
              "mensagem de 4294967295 bytes excede o limite");
}

TEST(Framing, OversizedResponseWritesNothing) {
    TempFile file;
    FdStream out(file.fd());
    BufferedWriter writer(out);
    auto got = write_frame(writer, std::string(MAX_FRAME_BYTES + 1, 'x'));
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().fault, FrameFault::TooLarge);
    EXPECT_EQ(got.error().text, "resposta excede o limite do Native Messaging");
    EXPECT_EQ(file.contents(), "");
}

TEST(Framing, WriteFailureCarriesTheSystemText) {
    FdStream closed(-1);
    BufferedWriter writer(closed);
    auto got = write_frame(writer, "{}");
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().fault, FrameFault::Io);
    EXPECT_NE(got.error().text.find("os error"), std::string::npos) << got.error().text;
}

}  // namespace
}  // namespace tolvex::framing
