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
    // install, uninstall, ping, tokens, certs, sign, raw, help, version; the
    // Portuguese aliases (assinar, certificados) arrive here by their English
    // names.
    std::string command;

    // Talking to an agent.
    std::optional<std::filesystem::path> agent;  // also the manifest path for install
    std::optional<std::string> origin;           // passed as the caller origin
    bool verbose = false;  // technical details, and the agent's standard error
    bool json = false;     // the result (or the error object) as JSON

    // install / uninstall
    std::vector<Browser> browsers;           // empty: all
    std::vector<std::string> extension_ids;  // IDs or origins, as given
    std::vector<std::string> firefox_ids;
    Scope scope = Scope::user;
    std::string host_name{kDefaultHostName};
    std::optional<std::filesystem::path> dir;

    // sign
    std::optional<std::string> thumbprint;  // 64 lower-case hex digits
    std::optional<std::filesystem::path> data_file;
    std::optional<std::filesystem::path> hash_file;
    bool pin_stdin = false;
    std::optional<std::string> digest;  // "SHA-256", "SHA-384" or "SHA-512"
};

// The error is one line for the user (main adds "use --help").
std::expected<Options, std::string> parse_command_line(const std::vector<std::string>& args);

// A thumbprint as people copy it from certificate viewers: any case, with
// blanks, colons, no-break spaces or direction marks between the digits.
// The result is the agent's form, 64 lower-case hex digits; anything else is
// answered as malformed, saying why.
std::expected<std::string, std::string> normalise_thumbprint(std::string_view text);

// "sha256", "SHA-256", "sha_256" and so on, as the agent writes them.
std::optional<std::string> normalise_digest(std::string_view text);

std::string usage_text();
std::string version_text();

}  // namespace tolvexctl
