#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <spdlog/spdlog.h>

namespace tolvex::log {

// Loggers are named by their target ("tolvex_agent", "tolvex_pkcs11", ...).
// All of them share the sinks of the process-wide default logger that the
// agent installs at start-up, so libraries log through the agent's one sink
// without knowing where it writes.
std::shared_ptr<spdlog::logger> target(const std::string& name);

// The value as a double-quoted string literal: quotes and backslashes escaped
// with a backslash, control characters escaped, so a value with a line feed
// stays on one line.
std::string quoted(std::string_view value);

// A value written bare (no quotes), such as a command name a page chose:
// control characters are escaped as in quoted(), so the value cannot end
// the line and forge the next one; anything else is written as it is.
std::string bare(std::string_view value);

}  // namespace tolvex::log
