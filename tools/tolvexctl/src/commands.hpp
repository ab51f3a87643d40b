#pragma once

// The subcommands of tolvexctl, on top of the session and the registration.

#include <iosfwd>
#include <string>

#include <nlohmann/json.hpp>

#include "cli.hpp"

namespace tolvexctl {

enum ExitStatus : int {
    kExitOk = 0,
    kExitAgentError = 1,  // the agent answered with an error object
    kExitUsage = 2,
    kExitFailure = 3,  // no agent, agent ended, file not readable or writable
};

// Runs one parsed command. `in` is read by raw and by --pin-stdin.
int run(const Options& options, std::istream& in, std::ostream& out, std::ostream& err);

// Readable forms of listing results.
std::string format_certificates(const nlohmann::json& result);
std::string format_tokens(const nlohmann::json& result);
std::string format_pong(const nlohmann::json& result);

// Display width of UTF-8 text: one column per code point.
std::size_t text_width(const std::string& text);

}  // namespace tolvexctl
