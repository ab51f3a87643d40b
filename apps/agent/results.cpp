#include "results.hpp"

#include <type_traits>

#include "tolvex/core/base64.hpp"

namespace tolvex::agent {
namespace {

using nlohmann::ordered_json;

ordered_json optional_text(const std::optional<std::string>& value) {
    return value ? ordered_json(*value) : ordered_json(nullptr);
}

ordered_json source_entry_json(const core::SourceEntry& entry) {
    ordered_json out = ordered_json::object();
    out["kind"] = entry.kind == core::SourceKind::Os ? "os" : "pkcs11";
    out["label"] = entry.label;
    out["requires_pin"] = entry.requires_pin;
    out["key_storage"] = core::key_storage_text(entry.key_storage);
    // The one key that is left out rather than written as null.
    if (entry.provider)
        out["provider"] = *entry.provider;
    return out;
}

ordered_json pki_brazil_json(const core::PkiBrazil& p) {
    ordered_json out = ordered_json::object();
    out["kind"] = optional_text(p.kind);
    out["cpf"] = optional_text(p.cpf);
    out["cnpj"] = optional_text(p.cnpj);
    out["birth_date"] = optional_text(p.birth_date);
    out["nis"] = optional_text(p.nis);
    out["rg"] = optional_text(p.rg);
    out["rg_issuer"] = optional_text(p.rg_issuer);
    out["responsible_name"] = optional_text(p.responsible_name);
    out["responsible_cpf"] = optional_text(p.responsible_cpf);
    out["responsible_birth_date"] = optional_text(p.responsible_birth_date);
    out["email"] = optional_text(p.email);
    out["company_name"] = optional_text(p.company_name);
    return out;
}

ordered_json summary_json(const core::CertificateSummary& s) {
    ordered_json out = ordered_json::object();
    out["thumbprint"] = s.thumbprint;
    out["subject_name"] = s.subject_name;
    out["issuer_name"] = s.issuer_name;
    out["subject_dn"] = s.subject_dn;
    out["issuer_dn"] = s.issuer_dn;
    out["subject_cn"] = s.subject_cn;
    out["issuer_cn"] = s.issuer_cn;
    out["serial_number"] = s.serial_number;
    out["not_before"] = s.not_before;
    out["not_after"] = s.not_after;
    out["key_usage"] = s.key_usage;
    out["pki_brazil"] = pki_brazil_json(s.pki_brazil);
    ordered_json sources = ordered_json::array();
    for (const auto& entry : s.sources)
        sources.push_back(source_entry_json(entry));
    out["sources"] = std::move(sources);
    return out;
}

ordered_json warnings_json(const std::vector<core::SourceWarning>& warnings,
                           const char* origin_key) {
    ordered_json out = ordered_json::array();
    for (const auto& w : warnings) {
        ordered_json item = ordered_json::object();
        item[origin_key] = w.origin;
        item["message"] = w.message;
        out.push_back(std::move(item));
    }
    return out;
}

ordered_json token_json(const core::TokenRecord& t) {
    ordered_json out = ordered_json::object();
    out["module"] = t.module;
    out["slot_id"] = t.slot_id;
    out["label"] = t.label;
    out["manufacturer"] = t.manufacturer;
    out["model"] = t.model;
    out["serial_number"] = t.serial_number;
    return out;
}

ordered_json to_json(const Pong& pong) {
    ordered_json out = ordered_json::object();
    out["type"] = "pong";
    out["agent_version"] = TOLVEX_AGENT_VERSION;
    out["protocol_version"] = 3;
    out["commands"] = {"ping", "list_tokens", "list_certificates", "read_certificate", "sign"};
    out["os_store"] = pong.os_store;
    return out;
}

ordered_json to_json(const Tokens& tokens) {
    ordered_json list = ordered_json::array();
    for (const auto& t : tokens.tokens)
        list.push_back(token_json(t));
    ordered_json out = ordered_json::object();
    out["tokens"] = std::move(list);
    out["warnings"] = warnings_json(tokens.warnings, "module");
    return out;
}

ordered_json to_json(const Certificates& certs) {
    ordered_json list = ordered_json::array();
    for (const auto& s : certs.certificates)
        list.push_back(summary_json(s));
    ordered_json out = ordered_json::object();
    out["certificates"] = std::move(list);
    out["warnings"] = warnings_json(certs.warnings, "source");
    return out;
}

ordered_json to_json(const Certificate& cert) {
    ordered_json out = ordered_json::object();
    out["thumbprint"] = cert.thumbprint;
    out["certificate"] = core::base64_encode(cert.der);
    return out;
}

ordered_json to_json(const Signature& sig) {
    ordered_json out = ordered_json::object();
    out["signature"] = core::base64_encode(sig.signature);
    out["signature_algorithm"] = core::signature_algorithm_text(sig.key_algorithm);
    out["digest_algorithm"] = core::digest_algorithm_text(sig.digest_algorithm);
    return out;
}

ordered_json to_json(const Signatures& sigs) {
    ordered_json list = ordered_json::array();
    for (const auto& s : sigs.signatures)
        list.push_back(core::base64_encode(s));
    ordered_json out = ordered_json::object();
    out["signatures"] = std::move(list);
    out["signature_algorithm"] = core::signature_algorithm_text(sigs.key_algorithm);
    out["digest_algorithm"] = core::digest_algorithm_text(sigs.digest_algorithm);
    return out;
}

}  // namespace

nlohmann::ordered_json result_json(const CommandResult& result) {
    return std::visit([](const auto& r) { return to_json(r); }, result);
}

}  // namespace tolvex::agent
