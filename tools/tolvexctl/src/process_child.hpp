#pragma once

// What a platform supplies to AgentProcess: a started agent and our ends of
// its two pipes.

#include <cstddef>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tolvexctl {

class AgentChild {
  public:
    virtual ~AgentChild() = default;

    // One write; how many bytes it took.
    virtual std::expected<std::size_t, std::string> write_some(std::string_view bytes) = 0;
    // One read; 0 when the agent has closed its output.
    virtual std::expected<std::size_t, std::string> read_some(char* out, std::size_t size) = 0;
    virtual void close_input() = 0;
    // Waits for the child and closes its output; the exit status, or -1 if
    // it did not exit normally.
    virtual int wait() = 0;
};

// Starts the agent, or says why it could not be started.
std::expected<std::unique_ptr<AgentChild>, std::string> spawn_agent(
    const std::filesystem::path& program, const std::vector<std::string>& args, bool show_stderr);

}  // namespace tolvexctl
