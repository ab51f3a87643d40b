#include "handler.hpp"

#include <gtest/gtest.h>

#include "logging.hpp"
#include "test_support.hpp"

namespace tolvex::agent {
namespace {

constexpr std::string_view kPong =
    R"("result":{"type":"pong","agent_version":"0.1.1","protocol_version":3,)"
    R"("commands":["ping","list_tokens","list_certificates","read_certificate","sign"],)"
    R"("os_store":"windows"}})";

std::string answer(std::string_view message) {
    HandlerContext context;
    return handle_message(context, message);
}

TEST(Envelope, PingExchangeByteForByte) {
    EXPECT_EQ(answer(R"({"id":"7","command":"ping"})"),
              std::string(R"({"id":"7","ok":true,)") + std::string(kPong));
    EXPECT_EQ(answer(R"({"id":"1","command":"ping","extra":{"a":[1,2]},"pin":null,"data":null})"),
              std::string(R"({"id":"1","ok":true,)") + std::string(kPong));
    EXPECT_EQ(answer(R"(["9","ping",null,null,null,null,null,null,null])"),
              std::string(R"({"id":"9","ok":true,)") + std::string(kPong));
}

TEST(Envelope, FailuresAndTheIdTheyEcho) {
    EXPECT_EQ(answer(R"({"id":"1","command":"Ping"})"),
              R"({"id":"1","ok":false,"error":{"code":"unknown_command",)"
              R"("message":"comando desconhecido: Ping"}})");
    EXPECT_EQ(answer("{}"),
              R"({"id":null,"ok":false,"error":{"code":"invalid_request",)"
              R"("message":"mensagem inválida: missing field `id` at line 1 column 2"}})");
    auto no_command = answer(R"({"id":"abc"})");
    EXPECT_TRUE(
        no_command.starts_with(R"({"id":"abc","ok":false,"error":{"code":"invalid_request",)"
                               R"("message":"mensagem inválida: missing field `command`)"))
        << no_command;
    EXPECT_TRUE(answer(R"({"id":42,"command":"ping"})").starts_with(R"({"id":null,)"));
    EXPECT_TRUE(answer("not json")
                    .starts_with(R"({"id":null,"ok":false,"error":{"code":"invalid_request")"));
    EXPECT_TRUE(answer(R"({"id":"1","command":"ping"} x)").starts_with(R"({"id":null,)"));
    auto duplicate = answer(R"({"id":"1","id":"2","command":"ping"})");
    EXPECT_TRUE(duplicate.starts_with(R"({"id":"2","ok":false,)")) << duplicate;
    EXPECT_NE(duplicate.find("duplicate field `id`"), std::string::npos);
    auto variant = answer(R"({"id":"1","command":"sign","digest_algorithm":"sha256"})");
    EXPECT_NE(variant.find("unknown variant `sha256`"), std::string::npos) << variant;
    // A body of random bytes is still answered with one JSON failure.
    std::string noise;
    for (int i = 0; i < 4096; ++i)
        noise.push_back(static_cast<char>((i * 7919 + 13) % 256));
    EXPECT_TRUE(
        answer(noise).starts_with(R"({"id":null,"ok":false,"error":{"code":"invalid_request")"));
}

TEST(Envelope, EscapingIsExactlyTheProtocolTable) {
    std::string id;
    std::string json_id;  // the id as written in the request
    std::string expected;
    for (int c = 1; c < 0x20; ++c) {
        id.push_back(static_cast<char>(c));
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        json_id += escaped;
    }
    expected =
        "\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r"
        "\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018"
        "\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f";
    json_id += "\\u0000\\\"\\\\/\\/\x7f\xC3\xA7\xE2\x82\xAC\xF0\x9F\x98\x80";
    expected += "\\u0000\\\"\\\\//\x7f\xC3\xA7\xE2\x82\xAC\xF0\x9F\x98\x80";
    auto response = answer(R"({"id":")" + json_id + R"(","command":"ping"})");
    EXPECT_EQ(response, R"({"id":")" + expected + R"(","ok":true,)" + std::string(kPong));
}

TEST(Envelope, LogsOneEventPerReadRequest) {
    test::TempFile log;
    auto sink = std::make_shared<FdSink>(log.fd());
    auto logger = std::make_shared<spdlog::logger>("test", sink);
    logger->set_formatter(std::make_unique<LineFormatter>());
    logger->set_level(spdlog::level::info);
    spdlog::drop_all();
    spdlog::set_default_logger(logger);

    answer(R"({"id":"1","command":"ping","pin":"1234"})");
    answer(R"({"id":"2","command":"a b\nc"})");
    answer("not json");  // unreadable: no event
    std::string lines = log.contents();
    auto first = lines.find(" INFO tolvex_agent::handler: ok command=ping\n");
    auto second = lines.find(
        " WARN tolvex_agent::handler: falhou command=\"a b\\nc\" code=\"unknown_command\"\n");
    EXPECT_NE(first, std::string::npos) << lines;
    EXPECT_NE(second, std::string::npos) << lines;
    EXPECT_LT(first, second);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2) << lines;
    EXPECT_EQ(lines.find("1234"), std::string::npos);
    init_logging(std::nullopt);
}

}  // namespace
}  // namespace tolvex::agent
