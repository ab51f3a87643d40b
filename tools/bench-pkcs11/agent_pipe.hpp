#pragma once

#include <string>
#include <vector>

namespace tolvex::bench {

// The agent as a child process, spoken to in Native Messaging frames.
class AgentPipe {
  public:
    explicit AgentPipe(const std::vector<std::string>& command);
    ~AgentPipe();
    AgentPipe(const AgentPipe&) = delete;
    AgentPipe& operator=(const AgentPipe&) = delete;

    bool running() const { return pid_ > 0; }
    // Writes one request frame and reads the response frame; false on a
    // broken pipe.
    bool exchange(const std::string& request, std::string& response);

  private:
    int pid_ = -1;
    int to_agent_ = -1;
    int from_agent_ = -1;
};

}  // namespace tolvex::bench
