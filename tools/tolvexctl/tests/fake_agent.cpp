// A stand-in for the agent: reads frames and answers by command, so the
// tool's process handling is tested apart from the real agent.
//   "echo"  -> ok, result {"request": <the request>, "args": [argv...]}
//   "fail"  -> error pin_incorrect / "PIN incorreto"
//   "big"   -> ok, result {"blob": <900 000 characters>}
//   "quit"  -> exits with status 1 without answering
//   "sign"  -> pin_required without a "pin", pin_incorrect unless it is
//              "1234", else ok with a fixed signature
// The caller origin "refuse" makes it exit with status 2 before reading.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

bool read_exact(std::string& buf, std::size_t n) {
    buf.resize(n);
    return n == 0 || std::fread(buf.data(), 1, n, stdin) == n;
}

void write_frame(const std::string& body) {
    const auto n = static_cast<unsigned>(body.size());
    const unsigned char prefix[4] = {
        static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
        static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)};
    std::fwrite(prefix, 1, 4, stdout);
    std::fwrite(body.data(), 1, body.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "refuse")
        return 2;
    std::string prefix;
    std::string body;
    while (read_exact(prefix, 4)) {
        const unsigned n = static_cast<unsigned char>(prefix[0]) |
                           (static_cast<unsigned char>(prefix[1]) << 8) |
                           (static_cast<unsigned char>(prefix[2]) << 16) |
                           (static_cast<unsigned>(static_cast<unsigned char>(prefix[3])) << 24);
        if (!read_exact(body, n))
            return 1;
        auto request = nlohmann::json::parse(body, nullptr, false);
        nlohmann::json response;
        response["id"] = request.is_object() ? request.value("id", "") : "";
        const std::string command = request.is_object() ? request.value("command", "") : "";
        if (command == "quit")
            return 1;
        if (command == "fail") {
            response["ok"] = false;
            response["error"] = {{"code", "pin_incorrect"}, {"message", "PIN incorreto"}};
        } else if (command == "sign") {
            const std::string pin = request.value("pin", std::string("\x01"));
            response["ok"] = pin == "1234";
            if (pin == "1234") {
                response["result"] = {{"signature", "c2lnbmVk"}};
            } else if (pin == "\x01") {
                response["error"] = {{"code", "pin_required"}, {"message", "PIN necessário"}};
            } else {
                response["error"] = {{"code", "pin_incorrect"}, {"message", "PIN incorreto"}};
            }
        } else if (command == "big") {
            response["ok"] = true;
            response["result"] = {{"blob", std::string(900000, 'x')}};
        } else {
            response["ok"] = true;
            response["result"] = {{"request", request}, {"args", args}};
        }
        write_frame(response.dump());
    }
    return 0;
}
