#pragma once

// Request/response exchange with a running agent, one frame each way.

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tolvex/agent_client/agent_process.hpp"

namespace tolvexctl {

using tolvex::agent_client::AgentProcess;
using tolvex::agent_client::ErrorOutput;

// A failure as the user should see it. `code` is the agent's error code when
// the agent answered with an error; it is empty when the link itself failed
// (no agent, agent ended, malformed answer).
struct Failure {
    std::string code;
    std::string message;
};

// "<code>: <message>", or only the message for link failures.
std::string describe(const Failure& failure);

class Session {
  public:
    static std::expected<Session, Failure> open(const std::filesystem::path& agent,
                                                const std::vector<std::string>& args,
                                                bool show_agent_stderr);

    // Sends one body, returns the body of the answer frame.
    std::expected<std::string, Failure> exchange(std::string_view body);

    // Sends {"id":…,"command":command,…fields}; returns `result` of a
    // successful answer, or the agent's error.
    std::expected<nlohmann::json, Failure> call(std::string_view command,
                                                nlohmann::json fields = nlohmann::json::object());

    // Closes the agent's input and returns its exit status.
    int finish();

  private:
    explicit Session(AgentProcess process) : process_(std::move(process)) {}
    Failure link_failure(std::string what);

    AgentProcess process_;
    unsigned next_id_ = 1;
};

// The answer of a call: `result` when ok, the error object otherwise, or a
// link failure when the text is not a response envelope.
std::expected<nlohmann::json, Failure> unwrap_response(std::string_view body);

}  // namespace tolvexctl
