#pragma once

// The agent as a child process, spoken to as a browser does: one request
// frame on its standard input, one response frame back on its standard
// output. tolvexctl, the integration tests and the benchmarks all start the
// agent through this. Starting, killing and waiting are per platform
// (spawn_posix.cpp, spawn_windows.cpp); the exchange is the same everywhere.

#include <chrono>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tolvex/framing/frame.hpp"

namespace tolvex::agent_client {

// Where the agent's standard error goes.
enum class ErrorOutput : std::uint8_t {
    Inherit,  // ours
    Discard,  // the null device
    File,     // LaunchOptions::error_file, truncated first
    Pipe,     // a pipe read through error_fd()
};

struct LaunchOptions {
    std::filesystem::path program;
    std::vector<std::string> arguments;  // after the program (the caller origin)
    // Looks a program named without a folder up in PATH (a test's "wine").
    // POSIX only.
    bool search_path = false;
    // The agent's whole environment, one "NAME=value" each; std::nullopt
    // passes ours on. POSIX only.
    std::optional<std::vector<std::string>> environment;
    // POSIX only.
    std::optional<std::filesystem::path> working_directory;
    ErrorOutput error_output = ErrorOutput::Inherit;
    std::filesystem::path error_file;
    // Standard descriptors (0, 1, 2) the agent starts with closed. POSIX
    // only.
    std::vector<int> closed_descriptors;
};

// What the agent used over its whole life, as its parent learns when it
// waits for it.
struct ResourceUsage {
    std::chrono::microseconds user_cpu{0};
    std::chrono::microseconds system_cpu{0};
    long peak_resident_kib = 0;
};

class AgentProcess {
  public:
    // A SIGPIPE from a pipe the agent has closed is ignored from then on in
    // this process (POSIX): writing to a gone agent is a failure value.
    static std::expected<AgentProcess, std::string> start(const LaunchOptions& options);

    AgentProcess(AgentProcess&&) noexcept;
    AgentProcess& operator=(AgentProcess&&) noexcept;
    ~AgentProcess();  // finish()

    // One request frame. TooLarge writes nothing.
    std::expected<void, framing::FrameError> send(std::string_view body);
    // The next response frame; FrameFault::Ended when the agent closed its
    // output instead.
    std::expected<std::string, framing::FrameError> receive();
    std::expected<std::string, framing::FrameError> exchange(std::string_view body);

    // Our ends of the agent's standard streams, for a caller that polls them;
    // -1 once closed (error_fd: unless ErrorOutput::Pipe).
    int input_fd() const;
    int output_fd() const;
    int error_fd() const;
    void close_input();

    // The process identifier.
    long pid() const;
    // Closes the agent's input, as a browser ends a session, and waits; the
    // exit status, or -1 when it did not exit by itself (a signal).
    int finish();
    // Waits at most `timeout`; the exit status, or std::nullopt while it
    // still runs.
    std::optional<int> wait_for(std::chrono::milliseconds timeout);
    // Ends it at once and waits for it.
    void kill();
    // Closes both pipes, as a browser that has gone: the exit status when
    // the agent ends within `grace`, else -1 after killing it.
    int abandon(std::chrono::milliseconds grace);
    // Once it has been waited for; std::nullopt before, and always on
    // Windows, where nothing has asked for it yet.
    std::optional<ResourceUsage> usage() const;

    // What a platform supplies: the started child and our ends of its pipes.
    class Child;

  private:
    explicit AgentProcess(std::unique_ptr<Child> child);
    std::unique_ptr<Child> child_;
};

}  // namespace tolvex::agent_client
