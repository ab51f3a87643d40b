#pragma once

// What each platform supplies to AgentProcess (spawn_posix.cpp,
// spawn_windows.cpp): the started child and our ends of its pipes, as
// descriptors (C runtime descriptors on Windows) the frame codec reads and
// writes.

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "tolvex/agent_client/agent_process.hpp"

namespace tolvex::agent_client {

class AgentProcess::Child {
  public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();  // closes what is still open; does not wait

    std::intptr_t process = 0;  // pid_t on POSIX, the process HANDLE on Windows
    long id = 0;
    int input = -1;
    int output = -1;
    int error = -1;
    std::optional<int> status;           // once it has been waited for
    std::optional<ResourceUsage> usage;  // the same, where the platform tells (POSIX)

    // Waits, forever when `timeout` is std::nullopt; the status (-1 when it
    // did not exit by itself), std::nullopt while it still runs. Once known,
    // the status is kept.
    std::optional<int> wait(std::optional<std::chrono::milliseconds> timeout);
    void kill();
    static void close(int& fd);

  private:
    // Per platform: the waiting itself, ending the process at once, closing
    // one descriptor, and letting go of the process handle (Windows).
    std::optional<int> wait_process(std::optional<std::chrono::milliseconds> timeout);
    void kill_process();
    static void close_descriptor(int fd);
    void release();
};

std::expected<std::unique_ptr<AgentProcess::Child>, std::string> spawn(
    const LaunchOptions& options);

}  // namespace tolvex::agent_client
