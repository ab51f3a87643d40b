#pragma once

// The command line of tolvexctl.

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manifest.hpp"

namespace tolvexctl {

struct Options {
    std::string command;  // install, uninstall, ping, tokens, certs, sign, raw, help

    // Talking to an agent.
    std::optional<std::filesystem::path> agent;  // also the manifest path for install
    std::optional<std::string> origin;           // passed as the caller origin
    bool verbose = false;                        // show the agent's standard error
    bool json = false;                           // print the result as JSON

    // install / uninstall
    std::vector<Browser> browsers;           // empty: all
    std::vector<std::string> extension_ids;  // IDs or origins, as given
    std::vector<std::string> firefox_ids;
    Scope scope = Scope::user;
    std::string host_name{kDefaultHostName};
    std::optional<std::filesystem::path> dir;

    // sign
    std::optional<std::string> thumbprint;
    std::optional<std::filesystem::path> data_file;
    std::optional<std::filesystem::path> hash_file;
    bool pin_stdin = false;
    std::optional<std::string> digest;
};

std::expected<Options, std::string> parse_command_line(const std::vector<std::string>& args);

std::string usage_text();

}  // namespace tolvexctl
