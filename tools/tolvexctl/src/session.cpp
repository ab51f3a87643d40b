#include "session.hpp"

#include "codec.hpp"

namespace tolvexctl {

std::string describe(const Failure& failure) {
    if (failure.code.empty())
        return failure.message;
    return failure.code + ": " + failure.message;
}

std::expected<Session, Failure> Session::open(const std::filesystem::path& agent,
                                              const std::vector<std::string>& args,
                                              bool show_agent_stderr) {
    auto process = AgentProcess::start(agent, args, show_agent_stderr);
    if (!process)
        return std::unexpected(Failure{"", process.error()});
    return Session(std::move(*process));
}

Failure Session::link_failure(std::string what) {
    // The exit status says more than the broken pipe: status 2 is the agent
    // refusing the caller's origin.
    const int status = process_.wait();
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
    if (body.size() > kMaxFrameBytes) {
        return std::unexpected(Failure{"", "pedido maior que o limite de 1048576 bytes"});
    }
    std::string frame = encode_frame(body);
    auto written = process_.write_all(frame);
    // The frame may carry a PIN.
    wipe(frame);
    if (!written)
        return std::unexpected(link_failure(written.error()));
    std::size_t got = 0;
    auto prefix = process_.read_exact(4, got);
    if (!prefix) {
        return std::unexpected(
            link_failure(got == 0 ? "o agente não respondeu" : "resposta truncada do agente"));
    }
    const std::uint32_t n = decode_frame_length(*prefix);
    if (n > kMaxFrameBytes) {
        return std::unexpected(link_failure("o agente anunciou uma resposta de " +
                                            std::to_string(n) + " bytes, acima do limite"));
    }
    auto answer = process_.read_exact(n, got);
    if (!answer)
        return std::unexpected(link_failure("resposta truncada do agente"));
    return std::move(*answer);
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
    return process_.wait();
}

}  // namespace tolvexctl
