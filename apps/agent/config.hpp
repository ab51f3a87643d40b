#pragma once

// The agent's settings: an optional JSON file plus environment variables,
// read once at start-up.

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex::agent {

struct AgentConfig {
    std::vector<std::filesystem::path> pkcs11_modules;
    std::optional<std::filesystem::path> log_file;
};

// TOLVEX_AGENT_CONFIG as it stands (even empty), else the platform's default
// place (APPDATA\TolvexSign\agent.json; on POSIX also the XDG directory).
std::optional<std::filesystem::path> config_path();

// The file's settings. A missing or unreadable file gives the defaults
// silently; an invalid one is reported in one line on standard error and
// also gives the defaults. Never fails.
AgentConfig load_config(const std::optional<std::filesystem::path>& path);

// What load_config decides, without reporting it: the settings of a valid
// file; std::nullopt when there is no file to use (no path, missing,
// unreadable, not UTF-8: the defaults apply silently); or why the file is
// invalid (the text load_config reports after "configuração inválida em
// PATH: "). tolvexctl shows people the same verdict the agent reaches.
std::expected<std::optional<AgentConfig>, std::string> read_config(
    const std::optional<std::filesystem::path>& path);

// Strict reading of the file's text; the error is the reader's description
// with its position.
std::expected<AgentConfig, std::string> parse_config(std::string_view text);

// TOLVEX_PKCS11_MODULES alone when set; else the configured modules; else
// the platform's default modules that exist as regular files.
std::vector<std::filesystem::path> module_paths(const AgentConfig& config);

// Splits a path list at every ";" outside double quotes; quotes toggle
// quoting and are dropped, nothing is trimmed, empty pieces are dropped.
template <class Char>
std::vector<std::basic_string<Char>> split_path_list(std::basic_string_view<Char> list) {
    std::vector<std::basic_string<Char>> pieces;
    std::basic_string<Char> piece;
    bool quoted = false;
    for (Char c : list) {
        if (c == Char('"')) {
            quoted = !quoted;
        } else if (c == Char(';') && !quoted) {
            if (!piece.empty())
                pieces.push_back(std::move(piece));
            piece.clear();
        } else {
            piece.push_back(c);
        }
    }
    if (!piece.empty())
        pieces.push_back(std::move(piece));
    return pieces;
}

// A path from UTF-8 text (the JSON strings of the file).
std::filesystem::path path_from_utf8(std::string_view text);

}  // namespace tolvex::agent
