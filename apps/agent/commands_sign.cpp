#include <algorithm>

#include "commands.hpp"
#include "tolvex/core/base64.hpp"
#include "tolvex/core/log.hpp"
#include "tolvex/core/public_key.hpp"
#include "tolvex/core/text.hpp"

namespace tolvex::agent {
namespace {

std::string bad_base64_message(std::string_view field_name) {
    if (field_name == "data")
        return "data não é base64 válido";
    if (field_name == "hash")
        return "hash não é base64 válido";
    if (field_name == "data_list")
        return "data_list contém item que não é base64 válido";
    return "hashes contém item que não é base64 válido";
}

CommandFailure invalid(std::string message) {
    return CommandFailure::invalid_request(std::move(message));
}

std::string_view source_text(core::SourceKind kind) {
    return kind == core::SourceKind::Os ? "os" : "pkcs11";
}

// Every signature checked against the certificate's public key; the first
// that does not verify is logged at ERROR and fails the whole batch.
core::Result<void> check_signatures(std::span<const std::uint8_t> der, core::SourceKind source,
                                    std::span<const core::Bytes> digests,
                                    std::span<const core::Bytes> signatures,
                                    core::DigestAlgorithm alg) {
    const auto bad = core::first_invalid_signature(der, alg, digests, signatures);
    if (!bad)
        return {};
    log::target("tolvex_agent::handler")
        ->error("assinatura não confere com o certificado source={} item={} items={}",
                source_text(source), *bad, digests.size());
    return std::unexpected(core::AgentError::sign_failed(std::string(SIGNATURE_MISMATCH)));
}

}  // namespace

std::expected<std::vector<core::Bytes>, std::string> decode_sign_inputs(
    std::span<const InputText> values, std::string_view field_name,
    std::optional<core::DigestAlgorithm> digest) {
    std::vector<core::Bytes> out;
    out.reserve(values.size());
    for (const auto& value : values) {
        auto decoded = core::base64_decode(value.view());
        if (!decoded)
            return std::unexpected(bad_base64_message(field_name));
        if (digest) {
            out.push_back(core::compute_digest(*decoded, *digest));
            // The caller's data may be as sensitive as the signature it asks
            // for; do not leave a decoded copy in freed memory.
            core::secure_wipe(decoded->data(), decoded->size());
        } else {
            out.push_back(std::move(*decoded));
        }
    }
    return out;
}

core::Result<std::vector<core::Bytes>> sign_with_sources(RequestSources& sources,
                                                         std::string_view thumbprint,
                                                         std::span<const core::Bytes> digests,
                                                         core::DigestAlgorithm alg,
                                                         core::PinView pin) {
    if (auto ok = core::check_digest_lengths(digests, alg); !ok) {
        return std::unexpected(ok.error());
    }
    const std::string wanted = core::ascii_lower(thumbprint);
    std::optional<core::AgentError> remembered;

    for (std::size_t i = 0; i < sources.size(); ++i) {
        const core::SourceCertificate* certificate = sources.find(i, wanted);
        if (certificate == nullptr)
            continue;

        auto signatures = sources.session(i).sign(*certificate, digests, alg, pin);
        // A driver can sign with another key than the certificate's (a token
        // that pairs keys and certificates its own way, say); what does not
        // verify never leaves the agent, and the next source may still sign.
        if (signatures) {
            auto checked =
                check_signatures(certificate->der, sources.kind(i), digests, *signatures, alg);
            if (checked)
                return signatures;
            signatures = std::unexpected(std::move(checked.error()));
        }
        // A PIN or cancellation error is the user's answer: trying another
        // source would spend more PIN attempts.
        if (signatures.error().stops_search())
            return signatures;
        remembered = std::move(signatures.error());
    }
    if (remembered)
        return std::unexpected(std::move(*remembered));
    return std::unexpected(core::AgentError(core::ErrorKind::CertificateNotFound));
}

CommandOutcome sign(const HandlerContext& context, const Request& request) {
    if (!request.thumbprint)
        return std::unexpected(invalid("thumbprint é obrigatório"));
    const core::DigestAlgorithm alg =
        request.digest_algorithm.value_or(core::DigestAlgorithm::Sha256);

    const bool single = request.data || request.hash;
    const bool batch = request.data_list || request.hashes;
    if (single == batch) {
        return std::unexpected(
            invalid("informe exatamente um entre data, hash, data_list e hashes"));
    }
    if (request.data && request.hash) {
        return std::unexpected(invalid("informe exatamente um entre data e hash"));
    }
    if (request.data_list && request.hashes) {
        return std::unexpected(invalid("informe exatamente um entre data_list e hashes"));
    }

    std::expected<std::vector<core::Bytes>, std::string> digests;
    if (request.data) {
        digests = decode_sign_inputs(std::span(&*request.data, 1), "data", alg);
    } else if (request.hash) {
        digests = decode_sign_inputs(std::span(&*request.hash, 1), "hash", std::nullopt);
    } else if (request.data_list) {
        digests = decode_sign_inputs(*request.data_list, "data_list", alg);
    } else {
        digests = decode_sign_inputs(*request.hashes, "hashes", std::nullopt);
    }
    if (!digests)
        return std::unexpected(invalid(std::move(digests.error())));
    if (digests->empty())
        return std::unexpected(invalid("lote vazio"));
    if (digests->size() > MAX_BATCH_ITEMS)
        return std::unexpected(invalid("lote excede 500 itens"));

    // One listing of each source serves the search, the key algorithm and
    // the signing, each source signing with the certificate as it listed it.
    RequestSources sources(context);
    auto certificate = find_certificate(sources, *request.thumbprint);
    if (!certificate)
        return std::unexpected(CommandFailure::from(certificate.error()));
    auto key = core::key_algorithm((*certificate)->der);
    if (!key)
        return std::unexpected(CommandFailure::from(key.error()));

    auto signatures =
        sign_with_sources(sources, *request.thumbprint, *digests, alg, request.pin_view());
    if (!signatures)
        return std::unexpected(CommandFailure::from(signatures.error()));

    if (single)
        return Signature{std::move(signatures->front()), *key, alg};
    return Signatures{std::move(*signatures), *key, alg};
}

}  // namespace tolvex::agent
