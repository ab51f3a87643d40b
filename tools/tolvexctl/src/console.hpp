#pragma once

// The console tolvexctl talks to a person through: whether someone is typing
// at it, a PIN read without echo, and the platform's words in the help. One
// implementation per platform (console_posix.cpp, console_windows.cpp).

#include <expected>
#include <string>
#include <string_view>

namespace tolvexctl {

// Standard input is a terminal (a console on Windows), not a file or a pipe.
bool input_is_terminal();

// Shows `prompt` on standard error and reads one line from the terminal with
// echo off; the echo comes back on every path, an interrupt included. The
// error says why nothing was read (input ended, terminal not usable).
std::expected<std::string, std::string> read_secret(std::string_view prompt);

struct PlatformHelp {
    std::string_view config_file;          // the default configuration file
    std::string_view module_example_json;  // a module path as a JSON string body
    std::string_view env_example;          // a module named for one command
};
const PlatformHelp& platform_help();

}  // namespace tolvexctl
