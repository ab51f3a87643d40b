#include "session.hpp"

#include "codec.hpp"

namespace tolvexctl {

namespace framing = tolvex::framing;

std::string describe(const Failure& failure) {
    if (failure.code.empty())
        return failure.message;
    return failure.code + ": " + failure.message;
}

std::expected<Session, Failure> Session::open(const std::filesystem::path& agent,
                                              const std::vector<std::string>& args,
                                              bool show_agent_stderr) {
    // The agent logs to its standard error; that is ours only when asked.
    tolvex::agent_client::LaunchOptions options;
    options.program = agent;
    options.arguments = args;
    options.error_output = show_agent_stderr ? ErrorOutput::Inherit : ErrorOutput::Discard;
    auto process = AgentProcess::start(options);
    if (!process)
        return std::unexpected(Failure{"", process.error()});
    return Session(std::move(*process));
}

Failure Session::link_failure(std::string what) {
    // The exit status says more than the broken pipe: status 2 is the agent
    // refusing the caller's origin.
    const int status = process_.finish();
    if (status == 2) {
        return {"",
                "o agente recusou a origem do chamador (status 2); confira "
                "TOLVEX_ALLOWED_ORIGINS ou use --origin"};
    }
    if (status >= 0) {
        return {"", what + " (o agente terminou com status " + std::to_string(status) + ")"};
    }
    return {"", what + " (o agente terminou de forma anormal)"};
}

std::expected<std::string, Failure> Session::exchange(std::string_view body) {
    // Straight from `body` to the pipe: no copy of a PIN is left behind.
    if (auto sent = process_.send(body); !sent) {
        if (sent.error().fault == framing::FrameFault::TooLarge) {
            return std::unexpected(Failure{"", "pedido maior que o limite de " +
                                                   std::to_string(framing::MAX_FRAME_BYTES) +
                                                   " bytes"});
        }
        return std::unexpected(link_failure(sent.error().text));
    }
    auto answer = process_.receive();
    if (answer)
        return std::move(*answer);
    switch (answer.error().fault) {
        case framing::FrameFault::TooLarge:
            return std::unexpected(link_failure("o agente anunciou uma resposta de " +
                                                std::to_string(answer.error().length) +
                                                " bytes, acima do limite"));
        case framing::FrameFault::Truncated:
            return std::unexpected(link_failure("resposta truncada do agente"));
        case framing::FrameFault::Ended:
        case framing::FrameFault::Io:
            break;
    }
    return std::unexpected(link_failure("o agente não respondeu"));
}

std::expected<nlohmann::json, Failure> unwrap_response(std::string_view body) {
    auto doc = nlohmann::json::parse(body, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("ok") || !doc["ok"].is_boolean()) {
        return std::unexpected(Failure{"", "resposta do agente não é um envelope válido"});
    }
    if (doc["ok"].get<bool>()) {
        if (!doc.contains("result")) {
            return std::unexpected(Failure{"", "resposta do agente sem result"});
        }
        return std::move(doc["result"]);
    }
    Failure f{"unknown", "erro sem descrição"};
    if (doc.contains("error") && doc["error"].is_object()) {
        const auto& e = doc["error"];
        if (e.contains("code") && e["code"].is_string())
            f.code = e["code"].get<std::string>();
        if (e.contains("message") && e["message"].is_string()) {
            f.message = e["message"].get<std::string>();
        }
    }
    return std::unexpected(std::move(f));
}

std::expected<nlohmann::json, Failure> Session::call(std::string_view command,
                                                     nlohmann::json fields) {
    nlohmann::json request = nlohmann::json::object();
    request["id"] = std::to_string(next_id_++);
    request["command"] = command;
    for (auto& [key, value] : fields.items())
        request[key] = std::move(value);
    std::string text = request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    auto body = exchange(text);
    // A PIN among the fields is not left behind in freed memory.
    wipe(text);
    for (auto& [key, value] : request.items()) {
        if (value.is_string())
            wipe(value.get_ref<std::string&>());
    }
    if (!body)
        return std::unexpected(body.error());
    return unwrap_response(*body);
}

int Session::finish() {
    return process_.finish();
}

}  // namespace tolvexctl
