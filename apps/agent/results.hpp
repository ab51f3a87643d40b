#pragma once

#include <expected>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "tolvex/core/cert.hpp"
#include "tolvex/core/digest.hpp"
#include "tolvex/core/error.hpp"
#include "tolvex/core/source.hpp"

namespace tolvex::agent {

struct Pong {
    std::string os_store;
};
struct Tokens {
    std::vector<core::TokenRecord> tokens;
    std::vector<core::SourceWarning> warnings;  // written as {"module","message"}
};
struct Certificates {
    std::vector<core::CertificateSummary> certificates;
    std::vector<core::SourceWarning> warnings;  // written as {"source","message"}
};
struct Certificate {
    std::string thumbprint;
    core::Bytes der;
};
struct Signature {
    core::Bytes signature;
    core::KeyAlgorithm key_algorithm;
    core::DigestAlgorithm digest_algorithm;
};
struct Signatures {
    std::vector<core::Bytes> signatures;
    core::KeyAlgorithm key_algorithm;
    core::DigestAlgorithm digest_algorithm;
};

using CommandResult = std::variant<Pong, Tokens, Certificates, Certificate, Signatures, Signature>;

// A failed command: a protocol code ("invalid_request", "unknown_command") or
// an AgentError's code, with its message.
struct CommandFailure {
    std::string code;
    std::string message;

    static CommandFailure invalid_request(std::string message) {
        return {"invalid_request", std::move(message)};
    }
    static CommandFailure from(const core::AgentError& error) {
        return {std::string(error.code()), error.message()};
    }
    friend bool operator==(const CommandFailure&, const CommandFailure&) = default;
};

using CommandOutcome = std::expected<CommandResult, CommandFailure>;

// The "result" object of a success response, keys in protocol order.
nlohmann::ordered_json result_json(const CommandResult& result);

}  // namespace tolvex::agent
