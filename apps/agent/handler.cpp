#include "handler.hpp"

#include <array>
#include <utility>

#include <nlohmann/json.hpp>

#include "tolvex/core/log.hpp"
#include "tolvex/framing/frame.hpp"

namespace tolvex::agent {

namespace {

using nlohmann::ordered_json;

using Command = CommandOutcome (*)(const HandlerContext&, const Request&);

// Every command the agent answers, in one place.
constexpr std::array<std::pair<std::string_view, Command>, 5> kCommands = {{
    {"ping", &ping},
    {"list_tokens", &list_tokens},
    {"list_certificates", &list_certificates},
    {"read_certificate", &read_certificate},
    {"sign", &sign},
}};

CommandOutcome dispatch(const HandlerContext& context, const Request& request) {
    for (const auto& [name, command] : kCommands) {
        if (name == request.command)
            return command(context, request);
    }
    return std::unexpected(
        CommandFailure{"unknown_command", "comando desconhecido: " + request.command});
}

ordered_json failure_json(ordered_json id, const CommandFailure& failure) {
    ordered_json error = ordered_json::object();
    error["code"] = failure.code;
    error["message"] = failure.message;
    ordered_json response = ordered_json::object();
    response["id"] = std::move(id);
    response["ok"] = false;
    response["error"] = std::move(error);
    return response;
}

void log_outcome(const Request& request, const CommandOutcome& outcome) {
    auto logger = log::target("tolvex_agent::handler");
    // The command name is logged bare only when it is a plain name, else
    // quoted and cut (log::name): a page can neither start a line or a
    // field of its own nor fill the log. Nothing else of the request is
    // logged, a PIN or a digest least of all.
    if (outcome) {
        logger->info("ok command={}", log::name(request.command));
    } else {
        logger->warn("falhou command={} code={}", log::name(request.command),
                     log::quoted(outcome.error().code));
    }
}

std::string serialize_response(const ordered_json& response) {
    // Compact; only quote, backslash and bytes below 0x20 escaped, UTF-8
    // written raw. A text that is not UTF-8 (a token label, say) gets
    // replacement characters rather than breaking the response.
    return response.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

}  // namespace

CommandOutcome ping(const HandlerContext& context, const Request&) {
    return Pong{context.os_store};
}

namespace {

std::string answer(const HandlerContext& context, std::string_view message) {
    auto request = parse_request(message);
    if (!request) {
        auto id = find_request_id(message);
        return serialize_response(
            failure_json(id ? ordered_json(*id) : ordered_json(nullptr),
                         CommandFailure::invalid_request("mensagem inválida: " + request.error())));
    }
    CommandOutcome outcome = dispatch(context, *request);
    std::string response;
    if (outcome) {
        ordered_json success = ordered_json::object();
        success["id"] = request->id;
        success["ok"] = true;
        success["result"] = result_json(*outcome);
        response = serialize_response(success);
    } else {
        response = serialize_response(failure_json(request->id, outcome.error()));
    }
    if (response.size() <= framing::MAX_FRAME_BYTES) {
        log_outcome(*request, outcome);
        return response;
    }
    // The browser would drop a frame this large, and the session with it:
    // this request fails, the ones queued behind it are still answered.
    const auto too_large = CommandFailure::from(
        core::AgentError::unsupported("resposta excede o limite do Native Messaging"));
    log::target("tolvex_agent::handler")
        ->error("falhou command={} code={} bytes={}", log::name(request->command),
                log::quoted(too_large.code), response.size());
    response = serialize_response(failure_json(request->id, too_large));
    // Only an id of nearly a mebibyte could still be too large.
    if (response.size() > framing::MAX_FRAME_BYTES)
        response = serialize_response(failure_json(nullptr, too_large));
    return response;
}

}  // namespace

std::string handle_message(const HandlerContext& context, std::string_view message) {
    try {
        return answer(context, message);
    } catch (...) {
        // Nothing a request does (an allocation that fails, say) may end
        // the agent and the requests queued behind it: this one is answered
        // with the failure and the next one is served.
        const std::string text = core::current_exception_text();
        log::target("tolvex_agent::handler")->error("falhou error={}", log::quoted(text));
        ordered_json id = nullptr;
        try {
            if (auto found = find_request_id(message))
                id = *found;
        } catch (...) {
        }
        return serialize_response(
            failure_json(std::move(id), CommandFailure::from(core::AgentError::sign_failed(text))));
    }
}

}  // namespace tolvex::agent
