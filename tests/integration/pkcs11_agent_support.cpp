#include "pkcs11_agent_support.hpp"

#include <openssl/x509.h>

#include <cstdlib>
#include <fstream>
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

Json ask_process(AgentProcess& agent, const Json& request) {
    auto reply = agent.exchange(request.dump());
    if (!reply)
        throw std::runtime_error("the agent did not answer " + request.dump());
    return Json::parse(*reply);
}

ProcessStats stats_of(int pid) {
    ProcessStats s;
    const std::filesystem::path proc = "/proc/" + std::to_string(pid);
    for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator(proc / "fd"))
        ++s.descriptors;
    std::ifstream status(proc / "status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            s.rss_kib = std::atol(line.c_str() + 6);
    return s;
}

test::TestKey key_of(const core::Bytes& der) {
    const unsigned char* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (cert == nullptr)
        throw std::runtime_error("bad certificate");
    test::TestKey key;
    key.key.reset(X509_get_pubkey(cert), test::KeyDeleter{});
    key.cert_der = der;
    X509_free(cert);
    return key;
}

core::Bytes read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return core::Bytes(std::istreambuf_iterator<char>(in), {});
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

std::map<std::string, std::string> exported_variables(const std::filesystem::path& env_sh) {
    std::map<std::string, std::string> variables;
    std::ifstream env(env_sh);
    for (std::string line; std::getline(env, line);) {
        const auto eq = line.find('=');
        if (line.rfind("export ", 0) != 0 || eq == std::string::npos)
            continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '\'')
            value = value.substr(1, value.size() - 2);
        variables[line.substr(7, eq - 7)] = value;
    }
    return variables;
}

}  // namespace tolvex::testing
