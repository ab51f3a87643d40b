#include <algorithm>
#include <map>
#include "tolvex/core/text.hpp"

#include "commands.hpp"

namespace tolvex::agent {
namespace {

const char* kind_name(core::SourceKind kind) {
    // Capitalised, unlike the "os"/"pkcs11" of source entries.
    return kind == core::SourceKind::Os ? "Os" : "Pkcs11";
}

}  // namespace

CommandOutcome list_tokens(const HandlerContext& context, const Request&) {
    Tokens result;
    if (context.token_source) {
        auto listing = context.token_source->list_tokens();
        result.tokens = std::move(listing.tokens);
        result.warnings = std::move(listing.warnings);
    }
    return result;
}

CommandOutcome list_certificates(const HandlerContext& context, const Request&) {
    // Keyed by thumbprint so repeated certificates merge into one summary.
    std::map<std::string, core::CertificateSummary> by_thumbprint;
    Certificates result;

    for (const auto& source : context.sources) {
        auto listing = source->list_certificates();
        for (auto& w : listing.warnings)
            result.warnings.push_back(std::move(w));

        for (const auto& cert : listing.certificates) {
            std::string thumbprint = core::compute_thumbprint(cert.der);
            core::SourceEntry entry = core::source_entry(cert);

            if (auto it = by_thumbprint.find(thumbprint); it != by_thumbprint.end()) {
                auto& sources = it->second.sources;
                if (std::find(sources.begin(), sources.end(), entry) == sources.end()) {
                    sources.push_back(std::move(entry));
                }
                continue;
            }
            auto summary = core::build_summary(cert.der, {std::move(entry)});
            if (!summary) {
                result.warnings.push_back({kind_name(source->source_kind()), summary.error()});
                continue;
            }
            if (summary->is_ca)
                continue;
            by_thumbprint.emplace(std::move(thumbprint), std::move(*summary));
        }
    }

    result.certificates.reserve(by_thumbprint.size());
    for (auto& [_, summary] : by_thumbprint)
        result.certificates.push_back(std::move(summary));
    // std::string compares as unsigned bytes, which is the UTF-8 byte order.
    std::stable_sort(result.certificates.begin(), result.certificates.end(),
                     [](const core::CertificateSummary& a, const core::CertificateSummary& b) {
                         if (a.subject_name != b.subject_name) {
                             return a.subject_name < b.subject_name;
                         }
                         return a.thumbprint < b.thumbprint;
                     });
    return result;
}

core::Result<core::Bytes> find_certificate(const HandlerContext& context,
                                           std::string_view thumbprint) {
    const std::string wanted = core::ascii_lower(thumbprint);
    for (const auto& source : context.sources) {
        auto listing = source->list_certificates();
        for (auto& cert : listing.certificates) {
            if (core::compute_thumbprint(cert.der) == wanted)
                return std::move(cert.der);
        }
    }
    return std::unexpected(core::AgentError(core::ErrorKind::CertificateNotFound));
}

CommandOutcome read_certificate(const HandlerContext& context, const Request& request) {
    if (!request.thumbprint) {
        return std::unexpected(CommandFailure::invalid_request("thumbprint é obrigatório"));
    }
    auto der = find_certificate(context, *request.thumbprint);
    if (!der)
        return std::unexpected(CommandFailure::from(der.error()));
    return Certificate{core::ascii_lower(*request.thumbprint), std::move(*der)};
}

}  // namespace tolvex::agent
