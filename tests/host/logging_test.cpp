#include "logging.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "tolvex/core/log.hpp"

namespace tolvex::agent {
namespace {

using namespace std::chrono;

// The lines of a log text with their timestamps taken off; a line whose
// timestamp is malformed (or a text not ending in a line feed) shows as "<bad>".
std::vector<std::string> unstamped(std::string_view text) {
    const std::string_view shape = "dddd-dd-ddTdd:dd:dd.ddddddZ";
    std::vector<std::string> out;
    while (!text.empty()) {
        auto end = text.find('\n');
        if (end == std::string_view::npos) {
            out.push_back("<bad>");
            break;
        }
        auto line = text.substr(0, end);
        text.remove_prefix(end + 1);
        bool good = line.size() > shape.size();
        for (std::size_t i = 0; good && i < shape.size(); ++i) {
            good = shape[i] == 'd' ? (line[i] >= '0' && line[i] <= '9') : line[i] == shape[i];
        }
        out.push_back(good ? std::string(line.substr(shape.size())) : "<bad>");
    }
    return out;
}

TEST(LogFormat, TimestampInUtcWithMicroseconds) {
    auto t =
        sys_days{year{2026} / 3 / 5} + hours{14} + minutes{7} + seconds{9} + microseconds{4211};
    EXPECT_EQ(format_timestamp(t), "2026-03-05T14:07:09.004211Z");
    EXPECT_EQ(format_timestamp(system_clock::time_point{}), "1970-01-01T00:00:00.000000Z");
    // Before the epoch the sub-second part still counts forwards.
    EXPECT_EQ(format_timestamp(system_clock::time_point{} - microseconds{1}),
              "1969-12-31T23:59:59.999999Z");
}

TEST(LogFormat, LevelsRightAligned) {
    EXPECT_EQ(level_text(spdlog::level::trace), "TRACE");
    EXPECT_EQ(level_text(spdlog::level::debug), "DEBUG");
    EXPECT_EQ(level_text(spdlog::level::info), " INFO");
    EXPECT_EQ(level_text(spdlog::level::warn), " WARN");
    EXPECT_EQ(level_text(spdlog::level::err), "ERROR");
}

TEST(LogFormat, WholeLinesAtInfoAndAbove) {
    test::TempFile file;
    auto sink = std::make_shared<FdSink>(file.fd());
    spdlog::logger logger("tolvex_agent", sink);
    logger.set_formatter(std::make_unique<LineFormatter>());
    logger.set_level(spdlog::level::info);
    logger.debug("hidden");
    logger.info("agente iniciado; repositório do SO: {}", "windows");
    logger.warn("falhou command={} code={}", "sign", log::quoted("pin_required"));
    logger.error("origem não permitida: {}", log::quoted("a\nb\"c"));
    std::string text = file.contents();
    EXPECT_EQ(unstamped(text),
              (std::vector<std::string>{
                  "  INFO tolvex_agent: agente iniciado; repositório do SO: windows",
                  R"(  WARN tolvex_agent: falhou command=sign code="pin_required")",
                  R"( ERROR tolvex_agent: origem não permitida: "a\nb\"c")"}))
        << text;
}

TEST(LogFormat, QuotedValuesEscapeEveryControlCharacter) {
    // C0, DEL and C1 (NEL, U+0085, included) are escaped; other text, the
    // Unicode line separator among it, is written as it is.
    EXPECT_EQ(log::quoted(std::string("\\\"\t\r\n\0\x1b\x7f", 8)), R"("\\\"\t\r\n\0\u{1b}\u{7f}")");
    EXPECT_EQ(log::quoted("a\xC2\x85"
                          "b\xC2\x9F\xC2\xA0\xE2\x80\xA8\xC3\xA7"),
              "\"a\\u{85}b\\u{9f}\xC2\xA0\xE2\x80\xA8\xC3\xA7\"");
}

TEST(LogFormat, NamesAreBareOnlyWhenPlainAndShort) {
    // Expected texts are appended, not concatenated from literals, which
    // mingw's GCC 12 takes for an overlapping copy.
    auto cut = [](std::string_view kept) {
        std::string out = "\"";
        out.append(kept);
        out.append("…\"");
        return out;
    };
    EXPECT_EQ(log::name("list_certificates"), "list_certificates");
    EXPECT_EQ(log::name(std::string(64, 'a')), std::string(64, 'a'));
    EXPECT_EQ(log::name(""), R"("")");
    EXPECT_EQ(log::name(R"(sign code="ok" user="admin")"), R"("sign code=\"ok\" user=\"admin\"")");
    EXPECT_EQ(log::name(std::string(65, 'a')), cut(std::string(64, 'a')));
    // 64 characters, not bytes, and a multi-byte character is never split.
    std::string accented;
    for (int i = 0; i < 70; ++i)
        accented += "\xC3\xA7";
    EXPECT_EQ(log::name(accented), cut(std::string_view(accented).substr(0, 128)));
    EXPECT_EQ(log::name(std::string(1 << 20, '\n')).size(), 64 * 2 + 2 + 3);
}

TEST(LogFormat, FailedWriteIsNotedOnStandardError) {
    auto sink = std::make_shared<FdSink>(-1);
    spdlog::logger logger("t", sink);
    logger.set_formatter(std::make_unique<LineFormatter>());
    ::testing::internal::CaptureStderr();
    logger.info("lost");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(err.starts_with("falha ao escrever no log: ")) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

TEST(LogInstall, FileInNewDirectoriesIsAppendedToAcrossInstalls) {
    test::TempDir dir;
    auto path = dir.path() / "a" / "b" / "agent.log";
    init_logging(path);
    log::target("tolvex_agent")->info("first");
    log::target("tolvex_pkcs11")->error("from a library");
    init_logging(path);
    log::target("tolvex_agent::handler")->info("second");
    init_logging(std::nullopt);  // closes the file; later tests log to stderr
    std::string text = test::read_file_for_test(path);
    auto first = text.find(" INFO tolvex_agent: first\n");
    auto library = text.find("ERROR tolvex_pkcs11: from a library\n");
    auto second = text.find(" INFO tolvex_agent::handler: second\n");
    EXPECT_NE(first, std::string::npos) << text;
    EXPECT_NE(library, std::string::npos) << text;
    EXPECT_NE(second, std::string::npos) << text;
    EXPECT_LT(first, second);
}

TEST(LogInstall, UnopenablePathFallsBackToStandardError) {
    test::TempDir dir;
    ::testing::internal::CaptureStderr();
    init_logging(dir.path());  // a directory
    log::target("tolvex_agent")->info("here");
    init_logging(std::nullopt);  // closes the file; later tests log to stderr
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(unstamped(err), std::vector<std::string>{"  INFO tolvex_agent: here"}) << err;
}

}  // namespace
}  // namespace tolvex::agent
