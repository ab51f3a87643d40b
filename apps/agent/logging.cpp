#include "logging.hpp"

#include <system_error>

#include <fmt/format.h>

#include "platform.hpp"
#include "tolvex/framing/stream.hpp"

namespace tolvex::agent {

namespace {

// Empty when all was written, else the failure's text.
std::string write_error(int fd, std::string_view bytes) {
    framing::FdStream stream(fd);
    auto written = framing::write_all(stream, bytes);
    return written ? std::string() : std::move(written.error());
}

}  // namespace

std::string format_timestamp(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    auto micros = time_point_cast<microseconds>(time);
    auto day = floor<days>(micros);
    year_month_day date{day};
    if (!date.ok() || int(date.year()) < 0 || int(date.year()) > 9999)
        return "<unknown time>";
    hh_mm_ss clock{micros - day};
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", int(date.year()),
                       unsigned(date.month()), unsigned(date.day()), clock.hours().count(),
                       clock.minutes().count(), clock.seconds().count(),
                       clock.subseconds().count());
}

std::string_view level_text(spdlog::level::level_enum level) {
    switch (level) {
        case spdlog::level::trace:
            return "TRACE";
        case spdlog::level::debug:
            return "DEBUG";
        case spdlog::level::info:
            return " INFO";
        case spdlog::level::warn:
            return " WARN";
        default:
            return "ERROR";
    }
}

void LineFormatter::format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) {
    auto line = fmt::format("{} {} {}: {}\n", format_timestamp(msg.time), level_text(msg.level),
                            std::string_view(msg.logger_name.data(), msg.logger_name.size()),
                            std::string_view(msg.payload.data(), msg.payload.size()));
    dest.append(line.data(), line.data() + line.size());
}

std::unique_ptr<spdlog::formatter> LineFormatter::clone() const {
    return std::make_unique<LineFormatter>();
}

FdSink::~FdSink() {
    if (owned_)
        platform::close_fd(fd_);
}

void FdSink::sink_it_(const spdlog::details::log_msg& msg) {
    spdlog::memory_buf_t line;
    formatter_->format(msg, line);
    // One write per line, under the sink's lock: a line is a single append.
    auto error = write_error(fd_, {line.data(), line.size()});
    if (!error.empty() && fd_ != 2) {
        write_error(2, fmt::format("falha ao escrever no log: {}\n", error));
    }
}

void init_logging(const std::optional<std::filesystem::path>& log_file) {
    int fd = 2;
    if (log_file) {
        std::error_code ignored;
        if (log_file->has_parent_path()) {
            std::filesystem::create_directories(log_file->parent_path(), ignored);
        }
        if (int opened = platform::open_append_shared(*log_file); opened >= 0)
            fd = opened;
    }
    auto sink = std::make_shared<FdSink>(fd, fd != 2);
    auto logger = std::make_shared<spdlog::logger>("tolvex_agent", sink);
    logger->set_formatter(std::make_unique<LineFormatter>());
    logger->set_level(spdlog::level::info);
    logger->flush_on(spdlog::level::trace);
    // Loggers made before this point would still write to spdlog's console
    // sink (standard output, the frame channel): drop them.
    spdlog::drop_all();
    spdlog::set_default_logger(logger);
}

}  // namespace tolvex::agent
