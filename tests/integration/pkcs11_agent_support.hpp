#pragma once

// Shared by the PKCS#11 suites that drive the agent binary: one request in,
// one parsed response out, and paths as the agent under test spells them.

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver.hpp"
#include "tolvex/core/types.hpp"

namespace tolvex::testing {

using Json = nlohmann::json;

// The path as the agent process sees it: unchanged for the Linux agent,
// through Wine's Z: drive for the Windows agent.
std::string agent_path(const std::filesystem::path& path);

// Runs the agent once with the requests; returns the parsed responses.
std::vector<Json> ask(const std::vector<Json>& requests, const AgentOptions& options);
Json ask_one(const Json& request, const AgentOptions& options);

std::string b64(const core::Bytes& bytes);
core::Bytes unb64(const std::string& text);
std::string thumbprint_of(const core::Bytes& der);

}  // namespace tolvex::testing
