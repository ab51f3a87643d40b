#pragma once

// The seam between the agent host and the operating system. One
// implementation per platform (platform_posix.cpp, platform_windows.cpp),
// chosen by the build.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tolvex::agent::platform {

// Takes the Native Messaging channel for the agent, first thing at start-up,
// before the configuration, the logger or a module can write anything:
// - a standard descriptor (0, 1, 2) that is closed gets the null device, so
//   no file the agent opens later can become one of them;
// - the real standard output is kept on a private descriptor, returned, and
//   descriptor 1 is pointed at standard error, so whatever else writes to
//   standard output (a vendor module's debug print) lands in the log
//   instead of corrupting the frames.
// Streams are raw bytes (binary mode on Windows); on POSIX a closed pipe
// gives EPIPE instead of killing the process. std::nullopt when standard
// output was closed at start: there is nobody to answer.
std::optional<int> claim_frame_channel();

// Libraries are never looked for in the current folder or PATH (Windows:
// only the system folders and the folder of the library being loaded).
void restrict_library_search();

// Watches the browser's end of the frame channel from a watchdog thread.
class ChannelWatch {
  public:
    explicit ChannelWatch(int channel);
    ~ChannelWatch();
    ChannelWatch(const ChannelWatch&) = delete;
    ChannelWatch& operator=(const ChannelWatch&) = delete;

    // Blocks until the reading end has gone (true), or until `timeout` has
    // passed or wake() was called (false).
    bool wait_gone(std::chrono::milliseconds timeout);
    void wake();

  private:
    int channel_;
    std::intptr_t wake_[2] = {-1, -1};
};

// Ends the process at once with the status, whatever other threads are
// doing (a module call that never returns): no exit handlers, no unloading.
[[noreturn]] void exit_now(int status);

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

// Where the configuration file is looked for when TOLVEX_AGENT_CONFIG is
// unset; std::nullopt when the platform has no such place.
std::optional<std::filesystem::path> default_config_path();

// The vendor PKCS#11 modules tried when neither the environment nor the
// configuration names any (each kept only if it is a regular file).
std::vector<std::filesystem::path> default_module_candidates();

// The path as UTF-8 text for messages.
std::string display_path(const std::filesystem::path& path);

// Opens a regular file for reading. Opening never blocks, so a FIFO or a
// device named as the file is refused, not waited on. A file descriptor, or
// -1.
int open_regular_file(const std::filesystem::path& path);

// Opens the file for appending, creating it, shared with other processes
// (they may read, write or delete it). Only a regular file or a character
// device (such as the null device) is taken, and opening never blocks: a
// FIFO, socket or directory gives -1, as does any failure.
int open_append_shared(const std::filesystem::path& path);
void close_fd(int fd);

}  // namespace tolvex::agent::platform
