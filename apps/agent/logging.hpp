#pragma once

// The agent's one log: plain-text lines on the configured file or on
// standard error, INFO and above, each line written whole and flushed.

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <spdlog/formatter.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

namespace tolvex::agent {

// "2026-03-05T14:07:09.004211Z", or "<unknown time>" for a time that has no
// four-digit year.
std::string format_timestamp(std::chrono::system_clock::time_point time);

// " INFO", " WARN", "ERROR" and so on: five characters, right-aligned.
std::string_view level_text(spdlog::level::level_enum level);

// "<timestamp> <level> <target>: <message>\n". Fields are part of the
// message text, already written as "name=value".
class LineFormatter final : public spdlog::formatter {
  public:
    void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override;
    std::unique_ptr<spdlog::formatter> clone() const override;
};

// Writes each formatted line with a single write to a file descriptor. A
// line that cannot be written is dropped and noted on standard error. An
// owned descriptor (the log file) is closed with the sink.
class FdSink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    explicit FdSink(int fd, bool owned = false) : fd_(fd), owned_(owned) {}
    ~FdSink() override;
    FdSink(const FdSink&) = delete;
    FdSink& operator=(const FdSink&) = delete;

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override {}

  private:
    int fd_;
    bool owned_;
};

// Installs the process-wide logger: the file (parent directories created,
// opened for appending and shared), else standard error. Loggers made with
// tolvex::log::target() share its sink.
void init_logging(const std::optional<std::filesystem::path>& log_file);

}  // namespace tolvex::agent
