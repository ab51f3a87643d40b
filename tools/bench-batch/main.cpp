// tolvex_bench_batch --agent PATH --cert DER [--items 500] [--rounds 7]
//
// Signs one batch request as large as a frame may be: `items` data items of
// equal size (each a rotation of the same random bytes), with the key of the
// certificate in the DER file. Each round starts the agent afresh, sends the
// request, reads and checks the answer (ok, one signature per item) and
// closes the agent's input, as a browser ending its session; the round's
// wall clock runs from starting the agent until it has been waited for, and
// its CPU time and peak memory are the agent's own, from that wait. The
// agent gets our environment, so the caller points it at its store.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench_flags.hpp"

#include "tolvex/agent_client/agent_process.hpp"
#include "tolvex/core/base64.hpp"
#include "tolvex/core/cert.hpp"
#include "tolvex/framing/frame.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace client = tolvex::agent_client;

struct Options {
    std::string agent, cert;
    int items = 500;
    int rounds = 7;
};

std::optional<Options> parse(int argc, char** argv) {
    auto flags =
        tolvex::bench::parse_flags(argc, argv, {"--agent", "--cert", "--items", "--rounds"});
    if (!flags)
        return std::nullopt;
    Options o;
    o.agent = (*flags)["--agent"];
    o.cert = (*flags)["--cert"];
    o.items = tolvex::bench::count_flag(*flags, "--items", o.items);
    o.rounds = tolvex::bench::count_flag(*flags, "--rounds", o.rounds);
    if (o.agent.empty() || o.cert.empty() || o.items <= 0 || o.rounds <= 0)
        return std::nullopt;
    return o;
}

// The request, its items as large as the frame limit lets them be: the
// same size each, a multiple of 3 bytes so their Base64 needs no padding.
std::string make_request(const std::string& thumbprint, int items) {
    const std::string head =
        R"({"id":"b","command":"sign","thumbprint":")" + thumbprint + R"(","data_list":[)";
    const std::string tail = "]}";
    const std::size_t n = static_cast<std::size_t>(items);
    const std::size_t room =
        tolvex::framing::MAX_FRAME_BYTES - head.size() - tail.size() - (n - 1) - 2 * n;
    const std::size_t size = room / n * 3 / 4 / 3 * 3;
    std::mt19937 random(42);
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random());
    std::string body = head;
    for (std::size_t i = 0; i < n; ++i) {
        body += i ? ",\"" : "\"";
        body += tolvex::core::base64_encode(bytes);
        body += '"';
        std::rotate(bytes.begin(), bytes.begin() + 1, bytes.end());
    }
    return body + tail;
}

struct Round {
    double wall_seconds;
    client::ResourceUsage usage;
    std::size_t response_bytes;
};

std::optional<Round> run_round(const Options& o, const std::string& request) {
    client::LaunchOptions launch;
    launch.program = o.agent;
    launch.error_output = client::ErrorOutput::Discard;
    const auto start = Clock::now();
    auto agent = client::AgentProcess::start(launch);
    if (!agent) {
        std::fprintf(stderr, "%s\n", agent.error().c_str());
        return std::nullopt;
    }
    auto answer = agent->exchange(request);
    const int status = agent->finish();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (!answer) {
        std::fprintf(stderr, "no answer: %s\n", answer.error().text.c_str());
        return std::nullopt;
    }
    const auto reply = nlohmann::json::parse(*answer, nullptr, false);
    const auto signatures = reply.is_discarded() || !reply.value("ok", false)
                                ? nlohmann::json::array()
                                : reply.value(nlohmann::json::json_pointer("/result/signatures"),
                                              nlohmann::json::array());
    const bool signed_all = signatures.size() == static_cast<std::size_t>(o.items);
    if (!signed_all || status != 0 || !agent->usage()) {
        std::fprintf(stderr, "agent (exit %d): %s\n", status, answer->substr(0, 300).c_str());
        return std::nullopt;
    }
    return Round{wall, *agent->usage(), answer->size()};
}

}  // namespace

int main(int argc, char** argv) {
    auto options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: %s --agent PATH --cert DER [--items N] [--rounds N]\n",
                     argv[0]);
        return 2;
    }
    std::ifstream in(options->cert, std::ios::binary);
    const std::vector<std::uint8_t> der((std::istreambuf_iterator<char>(in)), {});
    if (der.empty()) {
        std::fprintf(stderr, "cannot read %s\n", options->cert.c_str());
        return 2;
    }
    const std::string request = make_request(tolvex::core::compute_thumbprint(der), options->items);
    std::printf("request: %d items, %zu bytes\n", options->items, request.size());

    std::vector<double> wall, user;
    long peak_kib = 0;
    std::size_t response_bytes = 0;
    for (int round = 0; round < options->rounds; ++round) {
        auto r = run_round(*options, request);
        if (!r)
            return 1;
        wall.push_back(r->wall_seconds);
        user.push_back(std::chrono::duration<double>(r->usage.user_cpu).count());
        peak_kib = std::max(peak_kib, r->usage.peak_resident_kib);
        response_bytes = r->response_bytes;
    }
    std::printf("response: %d signatures, %zu bytes\n", options->items, response_bytes);
    std::printf("  wall clock, median of %d: %.3f s (min %.3f)\n", options->rounds,
                tolvex::bench::median(wall), *std::min_element(wall.begin(), wall.end()));
    std::printf("  user CPU, median of %d:   %.3f s\n", options->rounds,
                tolvex::bench::median(user));
    std::printf("  peak resident memory:     %ld KiB\n", peak_kib);
    return 0;
}
