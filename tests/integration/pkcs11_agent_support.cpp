#include "pkcs11_agent_support.hpp"

#include <stdexcept>

#include "tolvex/core/cert.hpp"

namespace tolvex::testing {

std::string agent_path(const std::filesystem::path& path) {
    return agent_is_windows() ? "Z:" + path.string() : path.string();
}

std::vector<Json> ask(const std::vector<Json>& requests, const AgentOptions& options) {
    std::vector<std::string> bodies;
    for (const Json& r : requests)
        bodies.push_back(r.dump());
    AgentRun run = run_requests(bodies, options);
    if (run.exit_status != 0 || run.responses.size() != requests.size())
        throw std::runtime_error("agent run failed, status " + std::to_string(run.exit_status) +
                                 ", stderr: " + run.stderr_text);
    std::vector<Json> out;
    for (const auto& body : run.responses)
        out.push_back(Json::parse(body));
    return out;
}

Json ask_one(const Json& request, const AgentOptions& options) {
    return ask({request}, options).at(0);
}

std::string b64(const core::Bytes& bytes) {
    return core::base64_encode(bytes);
}

core::Bytes unb64(const std::string& text) {
    auto bytes = core::base64_decode(text);
    if (!bytes)
        throw std::runtime_error("bad base64 from the agent");
    return *bytes;
}

std::string thumbprint_of(const core::Bytes& der) {
    return core::compute_thumbprint(der);
}

}  // namespace tolvex::testing
