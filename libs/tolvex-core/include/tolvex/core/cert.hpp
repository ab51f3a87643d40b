#pragma once

// The certificate model: DER certificate -> summary (names, serial,
// validity, key usage, ICP-Brasil identity fields), thumbprint and the
// public key's algorithm. Base64, digests and key storage have their own
// headers.

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

enum class KeyAlgorithm : std::uint8_t { Rsa, Ec };
std::string_view signature_algorithm_text(KeyAlgorithm alg);  // "rsa-pkcs1-v1_5" / "ecdsa"
// SignFailed("X.509 inválido: ...") when unparseable; Unsupported("algoritmo
// de chave pública <oid>") for anything but rsaEncryption and id-ecPublicKey.
Result<KeyAlgorithm> key_algorithm(std::span<const std::uint8_t> der);

// ---- Pieces of the summary, each usable by itself ----

// One attribute of a name as stored: its type in dotted form, the identifier
// byte of its value (0x0C for UTF8String, ...) and the value's content bytes.
struct NameAttribute {
    std::string type;
    std::uint8_t tag = 0;
    Bytes value;

    friend bool operator==(const NameAttribute&, const NameAttribute&) = default;
};
using RelativeName = std::vector<NameAttribute>;  // attributes in stored order
using Name = std::vector<RelativeName>;           // RDNs in certificate order

// Reads the DER of a Name (SEQUENCE OF SET OF AttributeTypeAndValue) keeping
// order, tags and empty RDNs; nullopt when the encoding is malformed.
std::optional<Name> parse_name(std::span<const std::uint8_t> der);

inline constexpr std::string_view INVALID_NAME_TEXT = "<X509Error: Invalid X.509 name>";
std::string display_name(const Name& name);
std::string format_dn(const Name& name);
// The first commonName as stored, or "" when it is missing or not text.
std::string first_common_name(const Name& name);
std::string strip_document_suffix(std::string_view common_name);

// A validity time as the certificate carries it (local time and offset).
struct CertTime {
    int year = 0;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    std::uint32_t nanosecond = 0;
    int offset_seconds = 0;  // east of UTC

    friend bool operator==(const CertTime&, const CertTime&) = default;
};
// tag is 0x17 (UTCTime) or 0x18 (GeneralizedTime); content as stored.
std::optional<CertTime> parse_cert_time(std::uint8_t tag, std::string_view content);
// RFC 3339; nullopt when the time cannot be written that way.
std::optional<std::string> format_time(const CertTime& time);

// Names of the keyUsage bits 0..6 set in `bits` (bit 0 = digitalSignature).
std::vector<std::string> key_usage_names(std::uint16_t bits);

// One entry of a subjectAltName extension.
struct GeneralName {
    enum class Kind : std::uint8_t { OtherName, Rfc822Name, Other };
    Kind kind = Kind::Other;
    std::string type_id;  // otherName: its type identifier, dotted
    Bytes value;          // otherName: the whole explicit [0] element; rfc822Name: the text

    friend bool operator==(const GeneralName&, const GeneralName&) = default;
};
// Reads the extension value (SEQUENCE OF GeneralName); nullopt when malformed.
std::optional<std::vector<GeneralName>> parse_general_names(std::span<const std::uint8_t> der);

struct PersonData {
    std::optional<std::string> birth_date;
    std::optional<std::string> cpf;
    std::optional<std::string> nis;
    std::optional<std::string> rg;
    std::optional<std::string> rg_issuer;

    friend bool operator==(const PersonData&, const PersonData&) = default;
};
PersonData parse_person_data(std::string_view text);
// Text inside an otherName value given as its whole [0] element, if any.
std::optional<std::string> other_name_text(std::span<const std::uint8_t> value);
// Trims White_Space, then U+0000 at both ends; absent when nothing is left.
std::optional<std::string> clean_text(std::string_view text);
// alt_names: the subjectAltName entries, absent when the certificate has no
// usable subjectAltName extension.
PkiBrazil extract_pki_brazil(const std::optional<std::vector<GeneralName>>& alt_names,
                             const Name& subject);

}  // namespace tolvex::core
