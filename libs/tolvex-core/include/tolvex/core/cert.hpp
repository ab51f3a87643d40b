#pragma once

// The certificate model: DER certificate -> summary, ICP-Brasil identity
// fields, key storage classification, digests and signature input, Base64.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tolvex/core/error.hpp"
#include "tolvex/core/source.hpp"
#include "tolvex/core/types.hpp"

namespace tolvex::core {

inline constexpr std::string_view X509_INVALID_PREFIX = "X.509 inválido: ";
inline constexpr std::string_view HASH_LENGTH_MISMATCH =
    "tamanho do hash não corresponde ao algoritmo";

// ICP-Brasil identity fields; every field absent unless found.
struct PkiBrazil {
    std::optional<std::string> kind;  // "pf" or "pj"
    std::optional<std::string> cpf;
    std::optional<std::string> cnpj;
    std::optional<std::string> birth_date;
    std::optional<std::string> nis;
    std::optional<std::string> rg;
    std::optional<std::string> rg_issuer;
    std::optional<std::string> responsible_name;
    std::optional<std::string> responsible_cpf;
    std::optional<std::string> responsible_birth_date;
    std::optional<std::string> email;
    std::optional<std::string> company_name;

    friend bool operator==(const PkiBrazil&, const PkiBrazil&) = default;
};

// One place a certificate was found (the JSON "sources" entry).
struct SourceEntry {
    SourceKind kind = SourceKind::Os;
    std::string label;
    bool requires_pin = false;
    KeyStorage key_storage = KeyStorage::Unknown;
    std::optional<std::string> provider;

    friend bool operator==(const SourceEntry&, const SourceEntry&) = default;
};

SourceEntry source_entry(const SourceCertificate& cert);

struct CertificateSummary {
    std::string thumbprint;
    std::string subject_name;
    std::string issuer_name;
    std::string subject_dn;
    std::string issuer_dn;
    std::string subject_cn;
    std::string issuer_cn;
    std::string serial_number;
    std::string not_before;
    std::string not_after;
    std::vector<std::string> key_usage;
    PkiBrazil pki_brazil;
    std::vector<SourceEntry> sources;
    bool is_ca = false;  // internal, never written

    friend bool operator==(const CertificateSummary&, const CertificateSummary&) = default;
};

std::string hex_lower(std::span<const std::uint8_t> bytes);
std::string compute_thumbprint(std::span<const std::uint8_t> der);

// Fails only when the certificate cannot be parsed, with
// X509_INVALID_PREFIX + the parser's description.
std::expected<CertificateSummary, std::string> build_summary(std::span<const std::uint8_t> der,
                                                             std::vector<SourceEntry> sources);

KeyStorage classify_key_storage(std::string_view provider_name);

enum class KeyAlgorithm : std::uint8_t { Rsa, Ec };
std::string_view signature_algorithm_text(KeyAlgorithm alg);  // "rsa-pkcs1-v1_5" / "ecdsa"
// SignFailed("X.509 inválido: ...") when unparseable; Unsupported("algoritmo
// de chave pública <oid>") for anything but rsaEncryption and id-ecPublicKey.
Result<KeyAlgorithm> key_algorithm(std::span<const std::uint8_t> der);

Bytes compute_digest(std::span<const std::uint8_t> data, DigestAlgorithm alg);
Result<void> check_digest_lengths(std::span<const Bytes> digests, DigestAlgorithm alg);
Bytes digest_info(DigestAlgorithm alg, std::span<const std::uint8_t> digest);

// Standard alphabet with "=" padding, no line breaks.
std::string base64_encode(std::span<const std::uint8_t> bytes);
// Strict: canonical padding required, no white space, no URL-safe alphabet,
// zero unused bits. "" decodes to no bytes.
std::optional<Bytes> base64_decode(std::string_view text);

}  // namespace tolvex::core
