// tolvex_bench_pkcs11 --agent PATH --module PATH --thumbprint HEX --pin PIN
//                     [--items 500] [--rounds 5] [--spy PATH]
//
// Signs the same batch of SHA-256 digests with the key of one certificate,
// first in a plain loop over the module (load, C_Login once, then
// C_SignInit/C_Sign per digest), then through the agent: one sign request
// with the batch, in real frames, after a warm-up ping. Each is run several
// times; the medians are printed with their ratio.
//
// With --spy (OpenSC's pkcs11-spy.so), the agent is run once more with the
// spy in front of the module, and the C_Initialize and C_Finalize calls that
// reach the spy's log during each kind of request are counted: the module
// loads per request.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "bench_flags.hpp"

#include "tolvex/agent_client/agent_process.hpp"
#include "tolvex/core/base64.hpp"
#include "tolvex/core/cert.hpp"
#include "tolvex/core/digest.hpp"
#include "tolvex/pkcs11/module.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using tolvex::agent_client::AgentProcess;
using tolvex::core::Bytes;
namespace p11 = tolvex::pkcs11;

struct Options {
    std::string agent, module, thumbprint, pin, spy;
    int items = 500;
    int rounds = 5;
};

std::optional<Options> parse(int argc, char** argv) {
    auto flags = tolvex::bench::parse_flags(
        argc, argv,
        {"--agent", "--module", "--thumbprint", "--pin", "--spy", "--items", "--rounds"});
    if (!flags)
        return std::nullopt;
    Options o;
    o.agent = (*flags)["--agent"];
    o.module = (*flags)["--module"];
    o.thumbprint = (*flags)["--thumbprint"];
    o.pin = (*flags)["--pin"];
    o.spy = (*flags)["--spy"];
    o.items = tolvex::bench::count_flag(*flags, "--items", o.items);
    o.rounds = tolvex::bench::count_flag(*flags, "--rounds", o.rounds);
    if (o.agent.empty() || o.module.empty() || o.thumbprint.empty() || o.items <= 0 ||
        o.rounds <= 0)
        return std::nullopt;
    return o;
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The plain loop, from loading the module to the last signature.
std::optional<double> plain_loop(const Options& o, const std::vector<Bytes>& digests) {
    const auto start = Clock::now();
    auto module = p11::Module::load(o.module);
    if (!module) {
        std::fprintf(stderr, "module: %s\n", module.error().c_str());
        return std::nullopt;
    }
    const CK_FUNCTION_LIST& f = module->functions();
    auto slots = p11::usable_slots(*module);
    if (!slots)
        return std::nullopt;
    for (CK_SLOT_ID slot : *slots) {
        auto session = p11::Session::open(*module, slot);
        if (!session)
            continue;
        auto certs = p11::certificate_objects(*session);
        if (!certs)
            continue;
        auto cert =
            std::find_if(certs->begin(), certs->end(), [&](const p11::CertificateObject& c) {
                return tolvex::core::compute_thumbprint(c.value) == o.thumbprint;
            });
        if (cert == certs->end() || !cert->id)
            continue;

        auto* pin = reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(o.pin.data()));
        if (f.C_Login(session->handle(), CKU_USER, pin, o.pin.size()) != CKR_OK)
            return std::nullopt;
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE templ[] = {
            {CKA_CLASS, &cls, sizeof cls},
            {CKA_ID, cert->id->data(), static_cast<CK_ULONG>(cert->id->size())}};
        auto keys = p11::find_objects(*session, templ);
        if (!keys || keys->empty())
            return std::nullopt;
        CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
        Bytes signature(1024);
        for (const Bytes& digest : digests) {
            Bytes data = tolvex::core::digest_info(tolvex::core::DigestAlgorithm::Sha256, digest);
            CK_ULONG length = signature.size();
            if (f.C_SignInit(session->handle(), &mechanism, keys->front()) != CKR_OK ||
                f.C_Sign(session->handle(), data.data(), data.size(), signature.data(), &length) !=
                    CKR_OK)
                return std::nullopt;
        }
        const double elapsed = ms_since(start);
        f.C_Logout(session->handle());
        return elapsed;
    }
    std::fprintf(stderr, "no token holds a certificate with that thumbprint\n");
    return std::nullopt;
}

// One sign request with the whole batch, timed from writing its frame to
// reading the response.
std::optional<double> through_agent(AgentProcess& agent, const std::string& request) {
    const auto start = Clock::now();
    auto answer = agent.exchange(request);
    if (!answer)
        return std::nullopt;
    const double elapsed = ms_since(start);
    const std::string& response = *answer;
    auto reply = nlohmann::json::parse(response, nullptr, false);
    if (reply.is_discarded() || !reply.value("ok", false)) {
        std::fprintf(stderr, "agent: %s\n", response.substr(0, 300).c_str());
        return std::nullopt;
    }
    return elapsed;
}

// The agent at `path`, its log on our standard error.
std::optional<AgentProcess> start_agent(const std::string& path) {
    tolvex::agent_client::LaunchOptions launch;
    launch.program = path;
    auto agent = AgentProcess::start(launch);
    if (!agent) {
        std::fprintf(stderr, "%s\n", agent.error().c_str());
        return std::nullopt;
    }
    return std::move(*agent);
}

// Lines of the spy's log that end in ": name".
std::size_t spy_calls(const std::string& log, const std::string& name) {
    std::ifstream in(log);
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);)
        if (line.ends_with(": " + name))
            ++n;
    return n;
}

bool print_loads_per_request(const Options& o, const std::string& sign_body) {
    const std::string log =
        (std::filesystem::temp_directory_path() / ("tolvex-spy-" + std::to_string(getpid())))
            .string();
    setenv("TOLVEX_PKCS11_MODULES", o.spy.c_str(), 1);
    setenv("PKCS11SPY", o.module.c_str(), 1);
    setenv("PKCS11SPY_OUTPUT", log.c_str(), 1);
    auto agent = start_agent(o.agent);
    if (!agent)
        return false;
    const std::pair<const char*, std::string> requests[] = {
        {"list_tokens", R"({"id":"t","command":"list_tokens"})"},
        {"list_certificates", R"({"id":"c","command":"list_certificates"})"},
        {"read_certificate",
         R"({"id":"r","command":"read_certificate","thumbprint":")" + o.thumbprint + "\"}"},
        {"sign (one hash)", sign_body},
    };
    std::printf("module loads per request (C_Initialize / C_Finalize through pkcs11-spy):\n");
    std::size_t inits = 0, finals = 0;
    for (const auto& [name, body] : requests) {
        if (!agent->exchange(body))
            return false;
        const std::size_t i = spy_calls(log, "C_Initialize"), f = spy_calls(log, "C_Finalize");
        std::printf("  %-18s %zu / %zu\n", name, i - inits, f - finals);
        inits = i;
        finals = f;
    }
    std::filesystem::remove(log);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    auto options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: %s --agent PATH --module PATH --thumbprint HEX --pin PIN [--items N] "
                     "[--rounds N]\n",
                     argv[0]);
        return 2;
    }
    std::mt19937 random(42);
    std::vector<Bytes> digests(options->items, Bytes(32));
    for (Bytes& d : digests)
        for (auto& b : d)
            b = static_cast<std::uint8_t>(random());

    nlohmann::json request = {{"id", "bench"},
                              {"command", "sign"},
                              {"thumbprint", options->thumbprint},
                              {"digest_algorithm", "SHA-256"},
                              {"pin", options->pin},
                              {"hashes", nlohmann::json::array()}};
    for (const Bytes& d : digests)
        request["hashes"].push_back(tolvex::core::base64_encode(d));
    const std::string body = request.dump();

    setenv("TOLVEX_PKCS11_MODULES", options->module.c_str(), 1);
    auto agent = start_agent(options->agent);
    if (!agent || !agent->exchange(R"({"id":"w","command":"ping"})")) {
        std::fprintf(stderr, "the agent did not answer\n");
        return 1;
    }

    std::vector<double> plain, via_agent;
    for (int round = 0; round < options->rounds; ++round) {
        auto p = plain_loop(*options, digests);
        auto a = through_agent(*agent, body);
        if (!p || !a)
            return 1;
        plain.push_back(*p);
        via_agent.push_back(*a);
    }
    const double p = tolvex::bench::median(plain), a = tolvex::bench::median(via_agent);
    std::printf("pkcs11 bench: %d RSA signatures, median of %d rounds\n", options->items,
                options->rounds);
    std::printf("  plain loop (load, C_Login once, C_SignInit/C_Sign each): %.1f ms\n", p);
    std::printf("  agent, one batch request through frames:                %.1f ms\n", a);
    std::printf("  ratio agent/plain: %.3f (%+.1f %%)\n", a / p, (a / p - 1.0) * 100.0);
    if (!options->spy.empty()) {
        nlohmann::json one = request;
        one.erase("hashes");
        one["hash"] = request["hashes"][0];
        if (!print_loads_per_request(*options, one.dump()))
            return 1;
    }
    return 0;
}
