#include "tolvex/core/cert.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include "der.hpp"
#include "tolvex/core/digest.hpp"
#include "tolvex/core/text.hpp"
#include "x509.hpp"

namespace tolvex::core {
namespace {

constexpr char LOWER_HEX[] = "0123456789abcdef";
constexpr char UPPER_HEX[] = "0123456789ABCDEF";

std::string hex_with(std::span<const std::uint8_t> bytes, const char* digits) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

std::string_view as_text(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

constexpr std::uint8_t TAG_UTF8 = 12;
constexpr std::uint8_t TAG_NUMERIC = 18;
constexpr std::uint8_t TAG_PRINTABLE = 19;
constexpr std::uint8_t TAG_IA5 = 22;
constexpr std::uint8_t TAG_BMP = 30;

// Tags whose content the distinguished-name rendering and the common name
// accept as text.
bool is_dn_string_tag(std::uint8_t tag) {
    return tag == TAG_UTF8 || tag == TAG_NUMERIC || tag == TAG_PRINTABLE || tag == TAG_IA5;
}

// Tags whose content the display rendering reads as UTF-8.
bool is_display_text_tag(std::uint8_t tag) {
    switch (tag) {
        case 7:
        case 12:
        case 18:
        case 19:
        case 20:
        case 21:
        case 22:
        case 25:
        case 26:
        case 27:
            return true;
        default:
            return false;
    }
}

// UTF-16 big-endian to UTF-8; nullopt for an odd length or a lone surrogate.
std::optional<std::string> utf16be_to_utf8(std::span<const std::uint8_t> bytes) {
    if (bytes.size() % 2 != 0)
        return std::nullopt;
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); i += 2)
        units.push_back(static_cast<char16_t>((bytes[i] << 8) | bytes[i + 1]));
    return to_utf8(units);
}

std::string_view display_key(std::string_view oid) {
    struct Row {
        std::string_view oid, key;
    };
    // The fixed abbreviations first, then the registry's short names for the
    // other X.500 and PKCS #9 attribute types met in names.
    static constexpr std::array<Row, 37> ROWS = {{
        {"2.5.4.3", "CN"},
        {"2.5.4.6", "C"},
        {"2.5.4.7", "L"},
        {"2.5.4.8", "ST"},
        {"2.5.4.10", "O"},
        {"2.5.4.11", "OU"},
        {"0.9.2342.19200300.100.1.25", "DC"},
        {"1.2.840.113549.1.9.1", "Email"},
        {"2.5.4.0", "objectClass"},
        {"2.5.4.1", "aliasedEntryName"},
        {"2.5.4.2", "knowledgeInformation"},
        {"2.5.4.4", "surname"},
        {"2.5.4.5", "serialNumber"},
        {"2.5.4.9", "streetAddress"},
        {"2.5.4.12", "title"},
        {"2.5.4.13", "description"},
        {"2.5.4.14", "searchGuide"},
        {"2.5.4.15", "businessCategory"},
        {"2.5.4.16", "postalAddress"},
        {"2.5.4.17", "postalCode"},
        {"2.5.4.18", "postOfficeBox"},
        {"2.5.4.19", "physicalDeliveryOfficeName"},
        {"2.5.4.20", "telephoneNumber"},
        {"2.5.4.41", "name"},
        {"2.5.4.42", "givenName"},
        {"2.5.4.43", "initials"},
        {"2.5.4.44", "generationQualifier"},
        {"2.5.4.45", "uniqueIdentifier"},
        {"2.5.4.46", "dnQualifier"},
        {"2.5.4.65", "pseudonym"},
        {"2.5.4.72", "role"},
        {"2.5.4.97", "organizationIdentifier"},
        {"0.9.2342.19200300.100.1.1", "uid"},
        {"1.2.840.113549.1.9.2", "unstructuredName"},
        {"1.2.840.113549.1.9.8", "unstructuredAddress"},
        {"1.3.6.1.5.5.7.9.1", "dateOfBirth"},
        {"1.3.6.1.5.5.7.9.3", "gender"},
    }};
    for (const Row& r : ROWS) {
        if (r.oid == oid)
            return r.key;
    }
    return {};
}

std::string_view dn_key(std::string_view oid) {
    if (oid == "2.5.4.3")
        return "CN";
    if (oid == "2.5.4.6")
        return "C";
    if (oid == "2.5.4.7")
        return "L";
    if (oid == "2.5.4.8")
        return "ST";
    if (oid == "2.5.4.9")
        return "STREET";
    if (oid == "2.5.4.10")
        return "O";
    if (oid == "2.5.4.11")
        return "OU";
    if (oid == "0.9.2342.19200300.100.1.1")
        return "UID";
    if (oid == "0.9.2342.19200300.100.1.25")
        return "DC";
    return oid;
}

std::string escape_dn_value(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 4);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        switch (c) {
            case '"':
            case '+':
            case ',':
            case ';':
            case '<':
            case '>':
            case '\\':
                out += '\\';
                out += c;
                break;
            case '#':
                if (i == 0)
                    out += '\\';
                out += c;
                break;
            case ' ':
                if (i == 0 || i + 1 == text.size())
                    out += '\\';
                out += c;
                break;
            case '\0':
                out += "\\00";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool all_digits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool read_digits(std::string_view s, std::size_t pos, std::size_t n, int& out) {
    if (pos + n > s.size())
        return false;
    std::string_view d = s.substr(pos, n);
    if (!all_digits(d))
        return false;
    out = 0;
    for (char c : d)
        out = out * 10 + (c - '0');
    return true;
}

int days_in_month(int year, int month) {
    static constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : DAYS[month - 1];
}

// Exactly one extension with this identifier counts; none or several give
// nullptr, which every caller treats as "extension absent".
const X509_EXTENSION* unique_extension(const X509* cert, int nid) {
    int first = X509_get_ext_by_NID(cert, nid, -1);
    if (first < 0)
        return nullptr;
    if (X509_get_ext_by_NID(cert, nid, first) >= 0)
        return nullptr;
    return X509_get_ext(cert, first);
}

std::optional<std::uint16_t> key_usage_bits(const X509* cert) {
    const X509_EXTENSION* ext = unique_extension(cert, NID_key_usage);
    if (ext == nullptr)
        return std::nullopt;
    auto* bits = static_cast<ASN1_BIT_STRING*>(X509V3_EXT_d2i(const_cast<X509_EXTENSION*>(ext)));
    if (bits == nullptr)
        return std::nullopt;
    std::uint16_t out = 0;
    for (int i = 0; i < 9; ++i) {
        if (ASN1_BIT_STRING_get_bit(bits, i) != 0)
            out |= static_cast<std::uint16_t>(1u << i);
    }
    ASN1_BIT_STRING_free(bits);
    return out;
}

bool is_ca_cert(const X509* cert) {
    const X509_EXTENSION* ext = unique_extension(cert, NID_basic_constraints);
    if (ext == nullptr)
        return false;
    auto* bc = static_cast<BASIC_CONSTRAINTS*>(X509V3_EXT_d2i(const_cast<X509_EXTENSION*>(ext)));
    if (bc == nullptr)
        return false;
    bool ca = bc->ca != 0;
    BASIC_CONSTRAINTS_free(bc);
    return ca;
}

std::optional<std::vector<GeneralName>> alt_names_of(const X509* cert) {
    const X509_EXTENSION* ext = unique_extension(cert, NID_subject_alt_name);
    if (ext == nullptr)
        return std::nullopt;
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(const_cast<X509_EXTENSION*>(ext));
    if (data == nullptr)
        return std::nullopt;
    return parse_general_names(
        std::span(ASN1_STRING_get0_data(data), static_cast<std::size_t>(ASN1_STRING_length(data))));
}

Name name_of(std::span<const std::uint8_t> stored, const X509_NAME* decoded) {
    if (!stored.empty()) {
        if (auto name = parse_name(stored))
            return *name;
    }
    const unsigned char* p = nullptr;
    size_t len = 0;
    if (decoded == nullptr || X509_NAME_get0_der(const_cast<X509_NAME*>(decoded), &p, &len) != 1) {
        return {};
    }
    return parse_name(std::span(p, len)).value_or(Name{});
}

std::string serial_of(const x509::Parsed& parsed) {
    if (!parsed.serial.empty())
        return hex_lower(parsed.serial);
    // Only for BER length forms that the walk does not follow. OpenSSL
    // refuses padded INTEGERs, so its re-encoding is the stored one.
    unsigned char* buf = nullptr;
    int n = i2d_ASN1_INTEGER(X509_get0_serialNumber(parsed.cert.get()), &buf);
    if (n <= 0)
        return {};
    std::string out;
    if (auto e =
            der::read_single(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)))) {
        out = hex_lower(e->content);
    }
    OPENSSL_free(buf);
    return out;
}

// Where the fields the summary reads from the stored bytes lie:
// Certificate -> tbsCertificate -> [0] version?, serialNumber, signature,
// issuer, validity, subject, ...
struct Layout {
    der::Element cert;
    der::Element tbs;
    der::Span before_issuer;  // version, serial and signature, whole
    der::Element serial;
    der::Element issuer;
    der::Element validity;
    der::Element subject;
    der::Span after_subject;  // rest of the TBS content
    der::Span after_tbs;      // rest of the certificate content
};

std::optional<Layout> layout_of(std::span<const std::uint8_t> der) {
    Layout l;
    der::Reader outer(der);
    auto cert = outer.next();
    if (!cert || cert->tag != 0x30)
        return std::nullopt;
    l.cert = *cert;
    der::Reader in_cert(cert->content);
    auto tbs = in_cert.next();
    if (!tbs || tbs->tag != 0x30)
        return std::nullopt;
    l.tbs = *tbs;
    l.after_tbs = in_cert.rest();
    der::Reader in_tbs(tbs->content);
    auto e = in_tbs.next();
    if (e && e->tag == 0xA0)
        e = in_tbs.next();
    if (!e || e->tag != 0x02)
        return std::nullopt;
    l.serial = *e;
    auto sig = in_tbs.next();
    auto issuer = in_tbs.next();
    auto validity = in_tbs.next();
    auto subject = in_tbs.next();
    if (!sig || !issuer || !validity || !subject || issuer->tag != 0x30 || subject->tag != 0x30) {
        return std::nullopt;
    }
    l.before_issuer =
        tbs->content.first(static_cast<std::size_t>(issuer->whole.data() - tbs->content.data()));
    l.issuer = *issuer;
    l.validity = *validity;
    l.subject = *subject;
    l.after_subject = in_tbs.rest();
    return l;
}

void append_element(Bytes& out, std::uint8_t tag, const Bytes& content) {
    out.push_back(tag);
    std::size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else {
        Bytes len;
        for (; n != 0; n >>= 8)
            len.insert(len.begin(), static_cast<std::uint8_t>(n & 0xFF));
        out.push_back(static_cast<std::uint8_t>(0x80 | len.size()));
        out.insert(out.end(), len.begin(), len.end());
    }
    out.insert(out.end(), content.begin(), content.end());
}

// The certificate with empty issuer and subject names.
Bytes without_names(const Layout& l) {
    auto add = [](Bytes& out, der::Span s) { out.insert(out.end(), s.begin(), s.end()); };
    Bytes tbs_content;
    add(tbs_content, l.before_issuer);
    tbs_content.insert(tbs_content.end(), {0x30, 0x00});
    add(tbs_content, l.validity.whole);
    tbs_content.insert(tbs_content.end(), {0x30, 0x00});
    add(tbs_content, l.after_subject);
    Bytes cert_content;
    append_element(cert_content, 0x30, tbs_content);
    add(cert_content, l.after_tbs);
    Bytes out;
    append_element(out, 0x30, cert_content);
    return out;
}

X509* d2i(std::span<const std::uint8_t> der) {
    const unsigned char* p = der.data();
    // long is 32 bits on Windows; a certificate never comes near that, and
    // the bytes past it would be ignored anyway.
    long len = static_cast<long>(std::min<std::size_t>(der.size(), LONG_MAX));
    return d2i_X509(nullptr, &p, len);
}

std::string time_text(const ASN1_TIME* t) {
    if (t == nullptr)
        return {};
    std::string_view content(reinterpret_cast<const char*>(ASN1_STRING_get0_data(t)),
                             static_cast<std::size_t>(ASN1_STRING_length(t)));
    auto parsed = parse_cert_time(static_cast<std::uint8_t>(ASN1_STRING_type(t)), content);
    if (!parsed)
        return {};
    return format_time(*parsed).value_or(std::string{});
}

std::string first_error_reason() {
    unsigned long e = ERR_get_error();
    if (e == 0)
        return "decoding error";
    if (const char* reason = ERR_reason_error_string(e))
        return reason;
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

}  // namespace

namespace x509 {

std::expected<Parsed, std::string> parse(std::span<const std::uint8_t> der) {
    ERR_clear_error();
    auto layout = layout_of(der);
    Parsed parsed;
    parsed.cert.reset(d2i(der));
    if (!parsed.cert) {
        std::string text = std::string(X509_INVALID_PREFIX) + first_error_reason();
        ERR_clear_error();
        // Retry only when the names are well-formed DER that we can render.
        if (layout && parse_name(layout->issuer.whole) && parse_name(layout->subject.whole)) {
            parsed.cert.reset(d2i(without_names(*layout)));
            ERR_clear_error();
        }
        if (!parsed.cert)
            return std::unexpected(std::move(text));
    }
    ERR_clear_error();
    if (layout) {
        parsed.serial = layout->serial.content;
        parsed.issuer = layout->issuer.whole;
        parsed.subject = layout->subject.whole;
    }
    return parsed;
}

}  // namespace x509

std::string hex_lower(std::span<const std::uint8_t> bytes) {
    return hex_with(bytes, LOWER_HEX);
}

std::string compute_thumbprint(std::span<const std::uint8_t> der) {
    return hex_lower(compute_digest(der, DigestAlgorithm::Sha256));
}

std::optional<Name> parse_name(std::span<const std::uint8_t> bytes) {
    auto seq = der::read_single(bytes);
    if (!seq || seq->tag != 0x30)
        return std::nullopt;
    Name name;
    der::Reader rdns(seq->content);
    while (!rdns.empty()) {
        auto set = rdns.next();
        if (!set || set->tag != 0x31)
            return std::nullopt;
        RelativeName rdn;
        der::Reader attrs(set->content);
        while (!attrs.empty()) {
            auto atv = attrs.next();
            if (!atv || atv->tag != 0x30)
                return std::nullopt;
            der::Reader parts(atv->content);
            auto type = parts.next();
            auto value = parts.next();
            if (!type || type->tag != 0x06 || !value || !parts.empty())
                return std::nullopt;
            auto oid = der::oid_text(type->content);
            if (!oid)
                return std::nullopt;
            rdn.push_back(NameAttribute{std::move(*oid), value->tag,
                                        Bytes(value->content.begin(), value->content.end())});
        }
        name.push_back(std::move(rdn));
    }
    return name;
}

std::string display_name(const Name& name) {
    std::string out;
    for (std::size_t r = 0; r < name.size(); ++r) {
        if (r != 0)
            out += ", ";
        for (std::size_t a = 0; a < name[r].size(); ++a) {
            const NameAttribute& attr = name[r][a];
            if (a != 0)
                out += " + ";
            std::string_view key = display_key(attr.type);
            if (key.empty()) {
                out += "OID(" + attr.type + ")";
            } else {
                out += key;
            }
            out += '=';
            if (is_display_text_tag(attr.tag)) {
                std::string_view text = as_text(attr.value);
                if (!is_valid_utf8(text))
                    return std::string(INVALID_NAME_TEXT);
                out += text;
            } else if (attr.tag == TAG_BMP) {
                auto text = utf16be_to_utf8(attr.value);
                if (!text)
                    return std::string(INVALID_NAME_TEXT);
                out += *text;
            } else {
                out += hex_with(attr.value, UPPER_HEX);
            }
        }
    }
    return out;
}

std::string format_dn(const Name& name) {
    std::string out;
    for (std::size_t r = name.size(); r-- > 0;) {
        if (r + 1 != name.size())
            out += ',';
        for (std::size_t a = 0; a < name[r].size(); ++a) {
            const NameAttribute& attr = name[r][a];
            if (a != 0)
                out += '+';
            out += dn_key(attr.type);
            out += '=';
            std::string_view text = as_text(attr.value);
            if (is_dn_string_tag(attr.tag) && is_valid_utf8(text)) {
                out += escape_dn_value(text);
            } else {
                out += '#';
                out += hex_lower(attr.value);
            }
        }
    }
    return out;
}

std::string first_common_name(const Name& name) {
    for (const RelativeName& rdn : name) {
        for (const NameAttribute& attr : rdn) {
            if (attr.type != "2.5.4.3")
                continue;
            std::string_view text = as_text(attr.value);
            if (is_dn_string_tag(attr.tag) && is_valid_utf8(text))
                return std::string(text);
            return {};
        }
    }
    return {};
}

std::string strip_document_suffix(std::string_view common_name) {
    auto colon = common_name.rfind(':');
    if (colon != std::string_view::npos) {
        std::string_view suffix = common_name.substr(colon + 1);
        if (suffix.size() >= 11 && suffix.size() <= 14 && all_digits(suffix)) {
            std::string_view before = trim_white_space(common_name.substr(0, colon));
            if (!before.empty())
                return std::string(before);
        }
    }
    return std::string(trim_white_space(common_name));
}

std::optional<CertTime> parse_cert_time(std::uint8_t tag, std::string_view s) {
    CertTime t;
    std::size_t pos = 0;
    if (tag == 0x17) {  // UTCTime: YYMMDDhhmm[ss](Z|+hhmm|-hhmm)
        int yy = 0;
        if (!read_digits(s, 0, 2, yy))
            return std::nullopt;
        t.year = yy < 50 ? 2000 + yy : 1900 + yy;
        pos = 2;
    } else if (tag == 0x18) {  // GeneralizedTime: YYYYMMDDhh[mm[ss[.f+]]](Z|+hh[mm]|-hh[mm])
        if (!read_digits(s, 0, 4, t.year))
            return std::nullopt;
        pos = 4;
    } else {
        return std::nullopt;
    }
    if (!read_digits(s, pos, 2, t.month) || !read_digits(s, pos + 2, 2, t.day) ||
        !read_digits(s, pos + 4, 2, t.hour)) {
        return std::nullopt;
    }
    pos += 6;
    bool utc_time = tag == 0x17;
    if (utc_time) {
        if (!read_digits(s, pos, 2, t.minute))
            return std::nullopt;
        pos += 2;
        if (read_digits(s, pos, 2, t.second))
            pos += 2;
    } else if (read_digits(s, pos, 2, t.minute)) {
        pos += 2;
        if (read_digits(s, pos, 2, t.second)) {
            pos += 2;
            if (pos < s.size() && (s[pos] == '.' || s[pos] == ',')) {
                ++pos;
                std::size_t start = pos;
                while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9')
                    ++pos;
                if (pos == start)
                    return std::nullopt;
                std::string digits(s.substr(start, std::min<std::size_t>(pos - start, 9)));
                digits.resize(9, '0');
                std::uint32_t ns = 0;
                std::from_chars(digits.data(), digits.data() + digits.size(), ns);
                t.nanosecond = ns;
            }
        }
    }
    if (pos >= s.size())
        return std::nullopt;  // no zone: local time of unknown offset
    if (s[pos] == 'Z') {
        ++pos;
    } else if (s[pos] == '+' || s[pos] == '-') {
        int sign = s[pos] == '-' ? -1 : 1;
        int oh = 0;
        int om = 0;
        if (!read_digits(s, pos + 1, 2, oh))
            return std::nullopt;
        pos += 3;
        if (read_digits(s, pos, 2, om)) {
            pos += 2;
        } else if (utc_time) {
            return std::nullopt;
        }
        if (om > 59)
            return std::nullopt;
        t.offset_seconds = sign * (oh * 3600 + om * 60);
    } else {
        return std::nullopt;
    }
    if (pos != s.size())
        return std::nullopt;
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > days_in_month(t.year, t.month) ||
        t.hour > 23 || t.minute > 59 || t.second > 59) {
        return std::nullopt;
    }
    return t;
}

std::optional<std::string> format_time(const CertTime& t) {
    if (t.year < 0 || t.year > 9999 || t.nanosecond > 999'999'999)
        return std::nullopt;
    int off = t.offset_seconds < 0 ? -t.offset_seconds : t.offset_seconds;
    if (off % 60 != 0 || off / 3600 > 23)
        return std::nullopt;
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day,
                          t.hour, t.minute, t.second);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf)
        return std::nullopt;
    std::string out(buf, static_cast<std::size_t>(n));
    if (t.nanosecond != 0) {
        std::snprintf(buf, sizeof buf, "%09u", static_cast<unsigned>(t.nanosecond));
        std::string frac(buf);
        frac.erase(frac.find_last_not_of('0') + 1);
        out += '.';
        out += frac;
    }
    if (off == 0) {
        out += 'Z';
    } else {
        std::snprintf(buf, sizeof buf, "%c%02d:%02d", t.offset_seconds < 0 ? '-' : '+', off / 3600,
                      off % 3600 / 60);
        out += buf;
    }
    return out;
}

std::vector<std::string> key_usage_names(std::uint16_t bits) {
    // Bits 7 (encipherOnly) and 8 (decipherOnly) are not named.
    static constexpr std::array<std::string_view, 7> NAMES = {
        "digitalSignature", "nonRepudiation", "keyEncipherment", "dataEncipherment",
        "keyAgreement",     "keyCertSign",    "cRLSign"};
    std::vector<std::string> out;
    for (std::size_t i = 0; i < NAMES.size(); ++i) {
        if ((bits & (1u << i)) != 0)
            out.emplace_back(NAMES[i]);
    }
    return out;
}

std::expected<CertificateSummary, std::string> build_summary(std::span<const std::uint8_t> der,
                                                             std::vector<SourceEntry> sources) {
    x509::ErrorQueueGuard guard;
    auto parsed = x509::parse(der);
    if (!parsed)
        return std::unexpected(std::move(parsed.error()));
    const X509* cert = parsed->cert.get();

    CertificateSummary s;
    if (auto bits = key_usage_bits(cert))
        s.key_usage = key_usage_names(*bits);
    s.thumbprint = compute_thumbprint(der);
    Name subject = name_of(parsed->subject, X509_get_subject_name(cert));
    Name issuer = name_of(parsed->issuer, X509_get_issuer_name(cert));
    s.subject_name = display_name(subject);
    s.issuer_name = display_name(issuer);
    s.subject_dn = format_dn(subject);
    s.issuer_dn = format_dn(issuer);
    s.subject_cn = strip_document_suffix(first_common_name(subject));
    s.issuer_cn = first_common_name(issuer);
    s.serial_number = serial_of(*parsed);
    s.not_before = time_text(X509_get0_notBefore(cert));
    s.not_after = time_text(X509_get0_notAfter(cert));
    s.is_ca = is_ca_cert(cert);
    s.pki_brazil = extract_pki_brazil(alt_names_of(cert), subject);
    s.sources = std::move(sources);
    return s;
}

std::string_view signature_algorithm_text(KeyAlgorithm alg) {
    return alg == KeyAlgorithm::Ec ? "ecdsa" : "rsa-pkcs1-v1_5";
}

Result<KeyAlgorithm> key_algorithm(std::span<const std::uint8_t> der) {
    x509::ErrorQueueGuard guard;
    auto parsed = x509::parse(der);
    if (!parsed)
        return std::unexpected(AgentError::sign_failed(std::move(parsed.error())));
    return x509::key_algorithm(*parsed);
}

Result<KeyAlgorithm> x509::key_algorithm(const Parsed& parsed) {
    const ASN1_OBJECT* alg = nullptr;
    X509_PUBKEY* key = X509_get_X509_PUBKEY(parsed.cert.get());
    if (key == nullptr ||
        X509_PUBKEY_get0_param(const_cast<ASN1_OBJECT**>(&alg), nullptr, nullptr, nullptr, key) !=
            1 ||
        alg == nullptr) {
        return std::unexpected(AgentError::unsupported("algoritmo de chave pública "));
    }
    char buf[128];
    int n = OBJ_obj2txt(buf, sizeof buf, alg, 1);
    std::string oid;
    if (n > 0 && static_cast<std::size_t>(n) < sizeof buf) {
        oid.assign(buf, static_cast<std::size_t>(n));
    } else if (n > 0) {
        oid.resize(static_cast<std::size_t>(n) + 1);
        OBJ_obj2txt(oid.data(), n + 1, alg, 1);
        oid.resize(static_cast<std::size_t>(n));
    }
    if (oid == "1.2.840.113549.1.1.1")
        return KeyAlgorithm::Rsa;
    if (oid == "1.2.840.10045.2.1")
        return KeyAlgorithm::Ec;
    return std::unexpected(AgentError::unsupported("algoritmo de chave pública " + oid));
}

}  // namespace tolvex::core
