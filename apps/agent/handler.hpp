#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "request.hpp"
#include "results.hpp"
#include "tolvex/core/source.hpp"

namespace tolvex::agent {

// Built once at start-up and lent read-only to every request.
struct HandlerContext {
    // Visited in this order by every listing and search: the OS store first
    // (where the platform has one), then PKCS#11.
    // Each command opens them for its own time (RequestSources).
    std::vector<std::unique_ptr<core::CertificateSource>> sources;
    // The OS store's name as `ping` reports it; the host sets the one of
    // its platform (os_store::OsStore).
    std::string os_store = "windows";
};

// One message in, one response out (compact JSON, no framing). Never fails.
std::string handle_message(const HandlerContext& context, std::string_view message);

// The commands behind the dispatch table.
CommandOutcome ping(const HandlerContext& context, const Request& request);
CommandOutcome list_tokens(const HandlerContext& context, const Request& request);
CommandOutcome list_certificates(const HandlerContext& context, const Request& request);
CommandOutcome read_certificate(const HandlerContext& context, const Request& request);
CommandOutcome sign(const HandlerContext& context, const Request& request);

}  // namespace tolvex::agent
