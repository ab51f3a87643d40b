#pragma once

// Shared by the PKCS#11 suites that drive the agent binary: one request in,
// one parsed response out, and paths as the agent under test spells them.

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver.hpp"
#include "support.hpp"
#include "tolvex/core/types.hpp"

namespace tolvex::testing {

using Json = nlohmann::json;

// The path as the agent process sees it: unchanged for the Linux agent,
// through Wine's Z: drive for the Windows agent.
std::string agent_path(const std::filesystem::path& path);

// Runs the agent once with the requests; returns the parsed responses.
std::vector<Json> ask(const std::vector<Json>& requests, const AgentOptions& options);
Json ask_one(const Json& request, const AgentOptions& options);

// One request to a long-lived agent, its parsed answer; throws when the agent
// is gone.
Json ask_process(AgentProcess& agent, const Json& request);

// What /proc tells of a process: its open descriptors and resident memory.
struct ProcessStats {
    std::size_t descriptors = 0;
    long rss_kib = 0;
};
ProcessStats stats_of(int pid);

// The public key of a certificate, for checking its signatures.
test::TestKey key_of(const core::Bytes& der);
core::Bytes read_bytes(const std::filesystem::path& path);

std::string b64(const core::Bytes& bytes);
core::Bytes unb64(const std::string& text);
std::string thumbprint_of(const core::Bytes& der);

}  // namespace tolvex::testing
