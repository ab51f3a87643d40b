#pragma once

// Drives the agent binary the way a browser does: spawns it, writes frames to
// its standard input, reads framed responses from its standard output, and
// collects its exit status and standard error.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tolvex/agent_client/agent_process.hpp"
#include "tolvex/framing/frame.hpp"

namespace tolvex::testing {

// The command that starts the agent: TOLVEX_AGENT_COMMAND split at spaces
// (e.g. "wine /path/tolvex_agent.exe"), else the agent of this build.
std::vector<std::string> agent_command();

// True when the agent under test is the Windows build (TOLVEX_AGENT_PLATFORM
// is "windows"); tests that need Linux-only components skip then.
bool agent_is_windows();

struct AgentOptions {
    // Another agent binary than the one under test (the product agent).
    std::optional<std::string> agent;
    std::vector<std::string> args;  // after the program (the caller origin)
    // The agent starts from the test's environment with every TOLVEX_* and
    // APPDATA variable removed; these are then set (an empty value is set,
    // not removed).
    std::map<std::string, std::string> env;
    std::optional<std::string> working_directory;
    // Standard descriptors (0, 1, 2) the agent starts with closed.
    std::vector<int> closed_descriptors;
    std::chrono::milliseconds timeout{60000};
};

struct AgentRun {
    int exit_status = -1;  // -1 when killed or timed out
    bool timed_out = false;
    std::vector<std::string> responses;  // bodies of the complete frames on stdout
    std::string stdout_bytes;            // everything written to stdout
    std::string stderr_text;
};

// The protocol's Base64 (unb64 throws on what is not) and a certificate's
// thumbprint, as requests and responses carry them.
std::string b64(const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> unb64(const std::string& text);
std::string thumbprint_of(const std::vector<std::uint8_t>& der);

inline std::string frame(std::string_view body) {
    return framing::encode_frame(body);
}
std::string frames(const std::vector<std::string>& bodies);

// Writes all of input to the agent's stdin, closes it, waits for the exit.
AgentRun run_agent(const std::string& input, const AgentOptions& options = {});

// Convenience: one request per body, all written at once.
AgentRun run_requests(const std::vector<std::string>& bodies, const AgentOptions& options = {});

// The agent as a long-lived child spoken to one request at a time, as a
// browser keeps its port open. Its standard error goes to a file, so a
// chatty agent never blocks on a pipe nobody reads. Throws when it cannot be
// started.
using agent_client::AgentProcess;
AgentProcess start_agent(const AgentOptions& options, const std::string& stderr_file);

// A fresh temporary directory, removed when the object goes out of scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
    void write(std::string_view name, std::string_view content) const;

  private:
    std::string path_;
};

std::string read_file(const std::string& path);

}  // namespace tolvex::testing
