// A stand-in for the agent: reads frames and answers by command, so the
// tool's process handling is tested apart from the real agent.
//   "echo"  -> ok, result {"request": <the request>, "args": [argv...]}
//   "fail"  -> error pin_incorrect / "PIN incorreto"
//   "big"   -> ok, result {"blob": <900 000 characters>}
//   "quit"  -> exits with status 1 without answering
//   "sign"  -> pin_required without a "pin", pin_incorrect unless it is
//              "1234", else ok with a fixed signature
// The caller origin "refuse" makes it exit with status 2 before reading.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tolvex/framing/frame.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
#endif
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "refuse")
        return 2;
    tolvex::framing::FdStream in(0);
    tolvex::framing::FdStream out(1);
    for (;;) {
        auto body = tolvex::framing::read_frame(in);
        if (!body)
            return body.error().fault == tolvex::framing::FrameFault::Ended ? 0 : 1;
        auto request = nlohmann::json::parse(*body, nullptr, false);
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
        if (!tolvex::framing::write_frame(out, response.dump()))
            return 1;
    }
}
