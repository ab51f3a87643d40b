#include <algorithm>

#include "der.hpp"
#include "tolvex/core/cert.hpp"
#include "tolvex/core/text.hpp"

namespace tolvex::core {
namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// A fixed-width number field: all ASCII digits and not all "0".
bool is_number_field(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), is_digit) &&
           s.find_first_not_of('0') != std::string_view::npos;
}

bool is_char_boundary(std::string_view s, std::size_t pos) {
    return pos == 0 || pos >= s.size() || (static_cast<std::uint8_t>(s[pos]) & 0xC0) != 0x80;
}

// Bytes [from, to) of a UTF-8 text, or nullopt when either end falls inside
// a multi-byte character or past the end.
std::optional<std::string_view> byte_range(std::string_view s, std::size_t from, std::size_t to) {
    if (to > s.size() || from > to)
        return std::nullopt;
    if (!is_char_boundary(s, from) || !is_char_boundary(s, to))
        return std::nullopt;
    return s.substr(from, to - from);
}

std::optional<std::string> number_field(std::string_view s, std::size_t from, std::size_t to) {
    auto field = byte_range(s, from, to);
    if (!field || !is_number_field(*field))
        return std::nullopt;
    return std::string(*field);
}

}  // namespace

std::optional<std::string> clean_text(std::string_view text) {
    text = trim_white_space(text);
    while (!text.empty() && text.front() == '\0')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == '\0')
        text.remove_suffix(1);
    if (text.empty())
        return std::nullopt;
    return std::string(text);
}

std::optional<std::string> other_name_text(std::span<const std::uint8_t> v) {
    if (v.size() < 2 || v[0] != 0xA0)
        return std::nullopt;
    // The outer length is skipped, not checked: the enclosing structure
    // already bounds the value.
    std::size_t pos = 1;
    std::uint8_t outer = v[pos++];
    if (outer >= 0x80) {
        std::size_t n = outer & 0x7F;
        if (v.size() - pos < n)
            return std::nullopt;
        pos += n;
    }
    if (v.size() - pos < 2)
        return std::nullopt;
    std::uint8_t tag = v[pos++];
    if (tag != 0x04 && tag != 0x0C && tag != 0x13 && tag != 0x16 && tag != 0x1A) {
        return std::nullopt;
    }
    std::uint8_t first = v[pos++];
    std::size_t length = 0;
    if (first < 0x80) {
        length = first;
    } else if (first == 0x81 || first == 0x82) {
        std::size_t n = first & 0x7F;
        if (v.size() - pos < n)
            return std::nullopt;
        for (std::size_t i = 0; i < n; ++i)
            length = (length << 8) | v[pos++];
    } else {
        return std::nullopt;
    }
    if (length > v.size() - pos)
        return std::nullopt;
    std::string text(reinterpret_cast<const char*>(v.data() + pos), length);
    if (!is_valid_utf8(text))
        return std::nullopt;
    return text;
}

PersonData parse_person_data(std::string_view t) {
    PersonData out;
    if (auto date = byte_range(t, 0, 8); date && is_number_field(*date)) {
        int day = ((*date)[0] - '0') * 10 + ((*date)[1] - '0');
        int month = ((*date)[2] - '0') * 10 + ((*date)[3] - '0');
        if (day >= 1 && day <= 31 && month >= 1 && month <= 12) {
            out.birth_date = std::string(date->substr(4, 4)) + "-" +
                             std::string(date->substr(2, 2)) + "-" +
                             std::string(date->substr(0, 2));
        }
    }
    out.cpf = number_field(t, 8, 19);
    out.nis = number_field(t, 19, 30);
    if (t.size() > 30) {
        if (auto rg = byte_range(t, 30, std::min<std::size_t>(45, t.size()))) {
            std::string_view v = *rg;
            v.remove_prefix(std::min(v.find_first_not_of('0'), v.size()));
            out.rg = clean_text(v);
        }
    }
    if (t.size() > 45) {
        if (auto issuer = byte_range(t, 45, std::min<std::size_t>(51, t.size()))) {
            auto cleaned = clean_text(*issuer);
            if (cleaned && cleaned->find_first_not_of('0') != std::string::npos) {
                out.rg_issuer = std::move(cleaned);
            }
        }
    }
    return out;
}

std::optional<std::vector<GeneralName>> parse_general_names(std::span<const std::uint8_t> bytes) {
    auto seq = der::read_single(bytes);
    if (!seq || seq->tag != 0x30)
        return std::nullopt;
    std::vector<GeneralName> names;
    der::Reader entries(seq->content);
    while (!entries.empty()) {
        auto e = entries.next();
        if (!e)
            return std::nullopt;
        GeneralName name;
        if (e->tag == 0xA0) {
            // otherName ::= SEQUENCE { type-id OID, value [0] EXPLICIT ANY }
            // with the SEQUENCE tag replaced by [0]; the value is handed on
            // as its complete [0] element.
            der::Reader parts(e->content);
            auto type = parts.next();
            if (!type || type->tag != 0x06)
                return std::nullopt;
            auto oid = der::oid_text(type->content);
            if (!oid)
                return std::nullopt;
            name.kind = GeneralName::Kind::OtherName;
            name.type_id = std::move(*oid);
            name.value.assign(parts.rest().begin(), parts.rest().end());
        } else if (e->tag == 0x81) {
            name.kind = GeneralName::Kind::Rfc822Name;
            name.value.assign(e->content.begin(), e->content.end());
        }
        names.push_back(std::move(name));
    }
    return names;
}

PkiBrazil extract_pki_brazil(const std::optional<std::vector<GeneralName>>& alt_names,
                             const Name& subject) {
    PkiBrazil p;
    if (!alt_names || alt_names->empty())
        return p;
    for (const GeneralName& n : *alt_names) {
        if (n.kind == GeneralName::Kind::Rfc822Name) {
            std::string_view text(reinterpret_cast<const char*>(n.value.data()), n.value.size());
            // An address that is not text cannot be shown; it leaves room
            // for a later one like a blank address does.
            if (!p.email && is_valid_utf8(text))
                p.email = clean_text(text);
            continue;
        }
        if (n.kind != GeneralName::Kind::OtherName)
            continue;
        auto text = other_name_text(n.value);
        if (!text)
            continue;
        if (n.type_id == "2.16.76.1.3.1") {
            PersonData d = parse_person_data(*text);
            p.birth_date = std::move(d.birth_date);
            p.cpf = std::move(d.cpf);
            p.nis = std::move(d.nis);
            p.rg = std::move(d.rg);
            p.rg_issuer = std::move(d.rg_issuer);
        } else if (n.type_id == "2.16.76.1.3.2") {
            p.responsible_name = clean_text(*text);
        } else if (n.type_id == "2.16.76.1.3.3") {
            std::string_view v = trim_white_space(*text);
            if (v.size() == 14 && is_number_field(v)) {
                p.cnpj = std::string(v);
            } else {
                p.cnpj.reset();
            }
        } else if (n.type_id == "2.16.76.1.3.4") {
            PersonData d = parse_person_data(*text);
            p.responsible_birth_date = std::move(d.birth_date);
            p.responsible_cpf = std::move(d.cpf);
        }
    }
    if (p.cnpj) {
        p.kind = "pj";
        p.company_name = clean_text(strip_document_suffix(first_common_name(subject)));
    } else if (p.cpf) {
        p.kind = "pf";
    }
    return p;
}

}  // namespace tolvex::core
