#include "logging.hpp"

#include <regex>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "tolvex/core/log.hpp"

namespace tolvex::agent {
namespace {

using namespace std::chrono;

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
    const std::string stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)";
    std::regex expected(
        stamp + "  INFO tolvex_agent: agente iniciado; repositório do SO: windows\n" + stamp +
        R"(  WARN tolvex_agent: falhou command=sign code="pin_required"\n)" + stamp +
        R"( ERROR tolvex_agent: origem não permitida: "a\\nb\\"c"\n)");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
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
    EXPECT_TRUE(std::regex_match(err, std::regex(R"(\S+Z  INFO tolvex_agent: here\n)"))) << err;
}

}  // namespace
}  // namespace tolvex::agent
