#include <algorithm>
#include <iterator>
#include <map>

#include "commands.hpp"
#include "tolvex/core/cert.hpp"
#include "tolvex/core/text.hpp"

namespace tolvex::agent {
namespace {

const char* kind_name(core::SourceKind kind) {
    // Capitalised, unlike the "os"/"pkcs11" of source entries.
    return kind == core::SourceKind::Os ? "Os" : "Pkcs11";
}

}  // namespace

RequestSources::RequestSources(const HandlerContext& context) {
    opened_.reserve(context.sources.size());
    for (const auto& source : context.sources)
        opened_.push_back({source->source_kind(), source->open(), std::nullopt, {}});
}

core::SourceListing& RequestSources::listing(std::size_t i) {
    Opened& source = opened_[i];
    if (!source.listing) {
        source.listing = source.session->list_certificates();
        source.thumbprints.reserve(source.listing->certificates.size());
        for (const auto& cert : source.listing->certificates)
            source.thumbprints.push_back(core::compute_thumbprint(cert.der));
    }
    return *source.listing;
}

const core::SourceCertificate* RequestSources::find(std::size_t i, std::string_view thumbprint) {
    const auto& certificates = listing(i).certificates;
    const auto& thumbprints = opened_[i].thumbprints;
    auto it = std::find(thumbprints.begin(), thumbprints.end(), thumbprint);
    if (it == thumbprints.end())
        return nullptr;
    return &certificates[static_cast<std::size_t>(it - thumbprints.begin())];
}

CommandOutcome list_tokens(const HandlerContext& context, const Request&) {
    Tokens result;
    RequestSources sources(context);
    for (std::size_t i = 0; i < sources.size(); ++i) {
        auto listing = sources.session(i).list_tokens();
        std::move(listing.tokens.begin(), listing.tokens.end(), std::back_inserter(result.tokens));
        std::move(listing.warnings.begin(), listing.warnings.end(),
                  std::back_inserter(result.warnings));
    }
    return result;
}

CommandOutcome list_certificates(const HandlerContext& context, const Request&) {
    // Keyed by thumbprint so repeated certificates merge into one summary.
    std::map<std::string, core::CertificateSummary> by_thumbprint;
    Certificates result;

    RequestSources sources(context);
    for (std::size_t i = 0; i < sources.size(); ++i) {
        auto& listing = sources.listing(i);
        for (auto& w : listing.warnings)
            result.warnings.push_back(std::move(w));

        for (std::size_t c = 0; c < listing.certificates.size(); ++c) {
            const core::SourceCertificate& cert = listing.certificates[c];
            std::string thumbprint = sources.thumbprint(i, c);
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
                result.warnings.push_back({kind_name(sources.kind(i)), summary.error()});
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

core::Result<const core::SourceCertificate*> find_certificate(RequestSources& sources,
                                                              std::string_view thumbprint) {
    const std::string wanted = core::ascii_lower(thumbprint);
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (const auto* found = sources.find(i, wanted))
            return found;
    }
    return std::unexpected(core::AgentError(core::ErrorKind::CertificateNotFound));
}

CommandOutcome read_certificate(const HandlerContext& context, const Request& request) {
    if (!request.thumbprint) {
        return std::unexpected(CommandFailure::invalid_request("thumbprint é obrigatório"));
    }
    RequestSources sources(context);
    auto found = find_certificate(sources, *request.thumbprint);
    if (!found)
        return std::unexpected(CommandFailure::from(found.error()));
    return Certificate{core::ascii_lower(*request.thumbprint), (*found)->der};
}

}  // namespace tolvex::agent
