#pragma once

// The seam between the agent host and the operating system. One
// implementation per platform (platform_posix.cpp, platform_windows.cpp),
// chosen by the build.

#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tolvex::agent::platform {

// Standard streams as raw bytes: binary mode on Windows; on POSIX a closed
// pipe gives EPIPE instead of killing the process.
void prepare_standard_streams();

// One read or write on a file descriptor (interrupted calls are retried).
// Failures carry the system's text.
std::expected<std::size_t, std::string> read_fd(int fd, char* buffer, std::size_t size);
std::expected<std::size_t, std::string> write_fd(int fd, const char* buffer, std::size_t size);

// A command-line argument: its UTF-8 text and whether it was valid Unicode
// at all (an invalid one is shown with replacement characters and never
// matches an allowed origin). `index` counts from the program (0).
// std::nullopt when the command line has no such argument.
struct CallerOrigin {
    std::string text;
    bool unicode = true;
};
std::optional<CallerOrigin> command_argument(int argc, char** argv, int index);

// An environment variable as the platform holds it (UTF-16 on Windows, bytes
// elsewhere) and as UTF-8 when it is valid Unicode. A variable set to the
// empty text is present.
struct EnvValue {
    std::filesystem::path::string_type native;
    std::optional<std::string> utf8;
};
std::optional<EnvValue> read_env(const char* name);
// For tests: sets (or with std::nullopt removes) a variable of this process.
void set_env(const char* name, const std::optional<std::string>& value);

// Where the configuration file is looked for when TOLVEX_AGENT_CONFIG is
// unset; std::nullopt when the platform has no such place.
std::optional<std::filesystem::path> default_config_path();

// The vendor PKCS#11 modules tried when neither the environment nor the
// configuration names any (each kept only if it is a regular file).
std::vector<std::filesystem::path> default_module_candidates();

// The path as UTF-8 text for messages.
std::string display_path(const std::filesystem::path& path);

// Opens the file for appending, creating it, shared with other processes
// (they may read, write or delete it). A file descriptor, or -1.
int open_append_shared(const std::filesystem::path& path);
void close_fd(int fd);

}  // namespace tolvex::agent::platform
