#pragma once

// The subcommands of tolvexctl, on top of the session and the registration.

#include <expected>
#include <functional>
#include <iosfwd>
#include <string>

#include "cli.hpp"

namespace tolvexctl {

enum ExitStatus : int {
    kExitOk = 0,
    kExitAgentError = 1,  // the agent answered with an error object
    kExitUsage = 2,
    kExitFailure = 3,  // no agent, agent ended, file not readable or writable
    // The agent's configuration is invalid, or none of its PKCS#11 modules
    // could be used; the command's answer is shown all the same.
    kExitSetup = 4,
};

// Asks the person at the terminal for the PIN; empty when nobody is there
// (input from a file or a pipe).
using PinPrompt = std::function<std::expected<std::string, std::string>()>;

// Runs one parsed command. `in` is read by raw and by --pin-stdin without a
// terminal.
int run(const Options& options, std::istream& in, std::ostream& out, std::ostream& err,
        const PinPrompt& prompt = {});

}  // namespace tolvexctl
