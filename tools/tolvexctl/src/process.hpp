#pragma once

// The agent as a child process with pipes on its standard input and output.
// The exchange over the pipes is process.cpp; each platform only starts the
// child and reads, writes and waits (process_posix.cpp, process_windows.cpp).

#include <cstddef>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvexctl {

class AgentProcess {
  public:
    // Starts `program` with `args`. The agent's standard error goes to ours
    // when `show_stderr` is set, else it is discarded (the agent logs there).
    static std::expected<AgentProcess, std::string> start(const std::filesystem::path& program,
                                                          const std::vector<std::string>& args,
                                                          bool show_stderr);

    AgentProcess(AgentProcess&&) noexcept;
    AgentProcess& operator=(AgentProcess&&) noexcept;
    ~AgentProcess();  // closes the pipes, waits for the child

    std::expected<void, std::string> write_all(std::string_view bytes);

    // Exactly `count` bytes; nothing when the agent closed its output first
    // (`got` then tells how many bytes did arrive).
    std::expected<std::string, std::string> read_exact(std::size_t count, std::size_t& got);

    // Closes the agent's input, so it ends normally.
    void close_input();

    // Closes the input and waits; the exit status, or -1 if it did not exit
    // normally.
    int wait();

  private:
    explicit AgentProcess(std::unique_ptr<class AgentChild> child);
    std::unique_ptr<AgentChild> child_;
    bool reaped_ = false;
    int status_ = -1;
};

// The directory of the running executable, for the default agent path.
std::optional<std::filesystem::path> own_directory();

// The command line as UTF-8 texts, without the program name.
std::vector<std::string> utf8_arguments(int argc, char** argv);

// Lets a console show (and read) the UTF-8 text that tolvexctl uses.
void prepare_console();

// The agent's file name on this platform ("tolvex_agent" or
// "tolvex_agent.exe").
std::string_view agent_file_name();

}  // namespace tolvexctl
