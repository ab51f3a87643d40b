#pragma once

// Shared by the PKCS#11 suites that drive the agent binary: one request in,
// one parsed response out, and paths as the agent under test spells them.

#include <cstdlib>
#include <filesystem>
#include <map>
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

// Skips outside CI, fails in it, when a package the test needs is absent.
#define REQUIRE_INSTALLED(path)                                                         \
    do {                                                                                \
        if (!std::filesystem::exists(path)) {                                           \
            if (std::getenv("CI") != nullptr)                                           \
                FAIL() << (path) << " is missing: scripts/install-deps.sh installs it"; \
            GTEST_SKIP() << (path) << " is not installed";                              \
        }                                                                               \
    } while (false)

// What a long-lived agent holds, read from /proc.
struct ProcessStats {
    std::size_t descriptors = 0;
    long rss_kib = 0;
};
ProcessStats stats_of(int pid);

// One request to a long-lived agent; throws when the agent has gone.
Json ask_process(AgentProcess& agent, const Json& request);

// The certificate with its public key, for checking its signatures.
test::TestKey key_of(const core::Bytes& der);
core::Bytes read_bytes(const std::filesystem::path& path);

// The variables a fixture's env.sh exports, lines of the form
// export NAME='value'.
std::map<std::string, std::string> exported_variables(const std::filesystem::path& env_sh);

}  // namespace tolvex::testing
