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

// A name a caller chose (a request's command): written bare when it is a
// plain name (ASCII letters, digits, "_", "-", "." ; 1 to 64 of them),
// otherwise as quoted() of its first 64 characters, followed by "…" inside
// the quotes when it was longer. So no name can forge a field of its own
// (`sign code="ok"`) or fill the log with megabytes.
std::string name(std::string_view value);

}  // namespace tolvex::log
