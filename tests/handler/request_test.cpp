#include "request.hpp"

#include <gtest/gtest.h>

namespace tolvex::agent {
namespace {

std::string error_of(std::string_view message) {
    auto got = parse_request(message);
    return got ? std::string("<parsed>") : got.error();
}

TEST(RequestReading, ObjectFormWithEveryField) {
    auto got = parse_request(
        R"({"id":"a\"b","command":"sign","thumbprint":"AB","data":"ZA==","hash":"aA==",)"
        R"("data_list":["x","y"],"hashes":[],"digest_algorithm":"SHA-512","pin":"1234"})");
    ASSERT_TRUE(got) << got.error();
    EXPECT_EQ(got->id, "a\"b");
    EXPECT_EQ(got->command, "sign");
    EXPECT_EQ(got->thumbprint, "AB");
    EXPECT_EQ(got->data, "ZA==");
    EXPECT_EQ(got->hash, "aA==");
    EXPECT_EQ(got->data_list, (std::vector<InputText>{"x", "y"}));
    EXPECT_EQ(got->hashes, std::vector<InputText>{});
    EXPECT_EQ(got->digest_algorithm, core::DigestAlgorithm::Sha512);
    ASSERT_TRUE(got->pin);
    EXPECT_EQ(got->pin->view(), "1234");
}

TEST(RequestReading, SignInputsBorrowTheMessageUnlessEscaped) {
    const std::string message =
        R"({"id":"1","command":"sign","data":"QUJD","data_list":["QQ==","\u0051Q==","Zg\u003d\u003d"]})";
    auto got = parse_request(message);
    ASSERT_TRUE(got) << got.error();
    auto inside = [&](const InputText& t) {
        return t.view().data() >= message.data() &&
               t.view().data() + t.view().size() <= message.data() + message.size();
    };
    EXPECT_TRUE(got->data->borrows() && inside(*got->data));
    EXPECT_EQ(got->data, "QUJD");
    const auto& list = *got->data_list;
    ASSERT_EQ(list.size(), 3u);
    EXPECT_TRUE(list[0].borrows() && inside(list[0]));
    EXPECT_EQ(list[0], "QQ==");
    // Escaped values are decoded into text of their own.
    EXPECT_FALSE(list[1].borrows());
    EXPECT_EQ(list[1], "QQ==");
    EXPECT_FALSE(list[2].borrows());
    EXPECT_EQ(list[2], "Zg==");
}

TEST(RequestReading, NullIsAbsentAndUnknownKeysAreSkippedAtAnyDepth) {
    auto got = parse_request(
        R"({"extra":{"id":5,"command":[1,{"pin":2}]},"id":"1","pin":null,"data":null,)"
        R"("hashes":null,"digest_algorithm":null,"command":"ping","zz":[[[]]]})");
    ASSERT_TRUE(got) << got.error();
    EXPECT_EQ(got->id, "1");
    EXPECT_EQ(got->command, "ping");
    EXPECT_FALSE(got->pin || got->data || got->hashes || got->digest_algorithm);
}

TEST(RequestReading, NineElementArrayForm) {
    auto got = parse_request(R"( ["9","ping",null,null,null,null,["h"],"SHA-384",null] )");
    ASSERT_TRUE(got) << got.error();
    EXPECT_EQ(got->id, "9");
    EXPECT_EQ(got->hashes, std::vector<InputText>{"h"});
    EXPECT_EQ(got->digest_algorithm, core::DigestAlgorithm::Sha384);

    EXPECT_EQ(error_of(R"(["9","ping"])"),
              "invalid length 2, expected struct Request with 9 elements at line 1 column 12");
    EXPECT_EQ(error_of(R"(["9","ping",null,null,null,null,null,null,null,null])"),
              "invalid length 10, expected struct Request with 9 elements at line 1 column 52");
}

TEST(RequestReading, SchemaErrorDescriptions) {
    struct Case {
        std::string_view message;
        std::string_view description;
    };
    const Case cases[] = {
        {"{}", "missing field `id` at line 1 column 2"},
        {R"({"id":"abc"})", "missing field `command` at line 1 column 12"},
        {R"({"id":"1","id":"2","command":"ping"})", "duplicate field `id` at line 1 column 14"},
        {R"({"id":"1","command":"c","pin":null,"pin":"x"})",
         "duplicate field `pin` at line 1 column 40"},
        {R"({"id":"1","command":"sign","digest_algorithm":"sha256"})",
         "unknown variant `sha256`, expected one of `SHA-256`, `SHA-384`, `SHA-512` at line 1 "
         "column 54"},
        {R"({"id":1,"command":"ping"})",
         "invalid type: integer `1`, expected a string at line 1 column 7"},
        {R"({"id":-3})", "invalid type: integer `-3`, expected a string at line 1 column 8"},
        {R"({"id":1.5})",
         "invalid type: floating point `1.5`, expected a string at line 1 column 9"},
        {R"({"id":true})", "invalid type: boolean `true`, expected a string at line 1 column 10"},
        {R"({"id":null})", "invalid type: null, expected a string at line 1 column 10"},
        {R"({"id":[]})", "invalid type: sequence, expected a string at line 1 column 7"},
        {R"({"id":{}})", "invalid type: map, expected a string at line 1 column 7"},
        {R"({"id":"1","command":"x","hashes":"a"})",
         "invalid type: string \"a\", expected a sequence at line 1 column 36"},
        {R"({"id":"1","command":"x","hashes":["a",2]})",
         "invalid type: integer `2`, expected a string at line 1 column 39"},
        {R"({"id":"1","command":"x","digest_algorithm":1})",
         "invalid type: integer `1`, expected enum DigestAlgorithm at line 1 column 44"},
        {"7", "invalid type: integer `7`, expected struct Request at line 1 column 1"},
        {"\"s\"", "invalid type: string \"s\", expected struct Request at line 1 column 3"},
        {"", "EOF while parsing a value at line 1 column 0"},
        {" \n\t", "EOF while parsing a value at line 2 column 1"},
        {R"({"id":"1","command":"ping"} x)", "trailing characters at line 1 column 29"},
        {"{\"id\":\"1\",\"command\":\"ping\"}\n\n  {}", "trailing characters at line 3 column 3"},
        {"\xEF\xBB\xBF{\"id\":\"1\",\"command\":\"ping\"}", "expected value at line 1 column 1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(error_of(c.message), c.description) << c.message;
}

TEST(RequestReading, SyntaxErrorsCarryAPosition) {
    // Wording of syntax errors is ours; the shape and the position are fixed.
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"not json", "expected value at line 1 column 2"},
        {"{\"id\":", "EOF while parsing a value at line 1 column 6"},
        {"{\"id\"", "EOF while parsing an object at line 1 column 5"},
        {"[\"a\"", "EOF while parsing a list at line 1 column 4"},
        {"{\"id\":\"1\",}", "trailing comma at line 1 column 11"},
        {"[\"a\",]", "trailing comma at line 1 column 6"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{\"id\" \"1\"}", "expected `:` at line 1 column 9"},
        {"{\"id\":\"1\"\n\"command\"}", "expected `,` or `}` at line 2 column 9"},
        {"{\"id\":\"abc", "EOF while parsing a string at line 1 column 10"},
        {"{\"id\":\"a\x01\"}",
         "control character (\\u0000-\\u001F) found while parsing a string "
         "at line 1 column 9"},
        {"{\"id\":\"\xff\"}", "invalid unicode code point at line 1 column 8"},
        {"{\"id\":\"\\ud800\"}", "lone leading surrogate in hex escape at line 1 column 14"},
    };
    for (const auto& [message, description] : cases) {
        EXPECT_EQ(error_of(message), description) << message;
    }
}

TEST(RequestReading, StringsAreDecodedAndValidated) {
    auto got = parse_request(R"({"id":"\u00e9\ud83d\ude00\n","command":"ping"})");
    ASSERT_TRUE(got) << got.error();
    EXPECT_EQ(got->id, "\xC3\xA9\xF0\x9F\x98\x80\n");
    // Overlong and truncated sequences are refused like any invalid byte.
    EXPECT_NE(error_of("{\"id\":\"\xC0\xAF\",\"command\":\"ping\"}").find("invalid unicode"),
              std::string::npos);
    EXPECT_NE(error_of("{\"id\":\"\xE2\x82\",\"command\":\"ping\"}").find("invalid unicode"),
              std::string::npos);
}

TEST(RequestReading, DeepNestingNeedsNoRecursion) {
    constexpr std::size_t depth = 200000;
    std::string closed = std::string(depth, '[') + std::string(depth, ']');
    EXPECT_EQ(error_of(closed), "invalid type: sequence, expected a string at line 1 column 2");
    EXPECT_FALSE(find_request_id(closed));
    std::string unclosed = std::string(depth, '[');
    EXPECT_FALSE(parse_request(unclosed));
    // Deep values of unknown keys are skipped, however deep.
    std::string skipped = R"({"id":"d","command":"ping","x":)" + closed + "}";
    auto got = parse_request(skipped);
    ASSERT_TRUE(got) << got.error();
    EXPECT_EQ(find_request_id(skipped + "x"), std::nullopt);
    EXPECT_EQ(find_request_id(R"({"x":)" + closed + R"(,"id":"deep"})"), "deep");
}

TEST(RequestId, SecondReadingFindsOnlyATopLevelStringId) {
    EXPECT_EQ(find_request_id(R"({"id":"abc"})"), "abc");
    EXPECT_EQ(find_request_id(R"({"id":"1","id":"2","command":"ping"})"), "2");
    EXPECT_EQ(find_request_id(R"({"id":"1","id":2})"), std::nullopt);  // the last one counts
    EXPECT_EQ(find_request_id(R"({"id":42,"command":"ping"})"), std::nullopt);
    EXPECT_EQ(find_request_id(R"({"a":{"id":"inner"}})"), std::nullopt);
    EXPECT_EQ(find_request_id(R"(["id","x"])"), std::nullopt);
    EXPECT_EQ(find_request_id("not json"), std::nullopt);
    EXPECT_EQ(find_request_id(R"({"id":"1","command":"ping"} x)"), std::nullopt);
    EXPECT_EQ(find_request_id(R"( {"id":"1"} )"), "1");
}

}  // namespace
}  // namespace tolvex::agent
