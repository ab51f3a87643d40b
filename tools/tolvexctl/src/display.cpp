#include "display.hpp"

#include <system_error>
#include <vector>

#include "text.hpp"

namespace tolvexctl {

namespace {

using nlohmann::json;

std::string text_of(const json& object, const char* key) {
    if (!object.is_object())
        return {};
    auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return {};
    return it->get<std::string>();
}

const json& array_of(const json& object, const char* key) {
    static const json empty = json::array();
    if (!object.is_object())
        return empty;
    auto it = object.find(key);
    return it != object.end() && it->is_array() ? *it : empty;
}

bool all_digits(std::string_view text, std::size_t count) {
    if (text.size() != count)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// ICP-Brasil names end in ":" and the holder's CPF or CNPJ, which the line
// shows formatted beside the name anyway.
std::string holder_name(const json& cert, const std::string& document) {
    std::string name = text_of(cert, "subject_cn");
    if (name.empty())
        name = text_of(cert, "subject_name");
    if (!document.empty() && name.ends_with(":" + document))
        name.resize(name.size() - document.size() - 1);
    return name.empty() ? "(sem nome)" : name;
}

std::string validity(const json& cert, std::string_view today) {
    const std::string from = text_of(cert, "not_before");
    const std::string until = text_of(cert, "not_after");
    // RFC 3339 dates compare as text.
    if (!until.empty() && until.substr(0, 10) < today)
        return "VENCIDO em " + format_date(until);
    if (!from.empty() && from.substr(0, 10) > today)
        return "válido só a partir de " + format_date(from) + ", até " + format_date(until);
    return "válido de " + format_date(from) + " a " + format_date(until);
}

std::string key_place(const json& source) {
    std::string place;
    const std::string label = text_of(source, "label");
    if (text_of(source, "kind") == "pkcs11") {
        place = "no token \"" + label + "\"";
    } else {
        const std::string storage = text_of(source, "key_storage");
        place = "no repositório do sistema";
        if (storage == "token")
            place += ", num token ou cartão";
        else if (storage == "file")
            place += ", em arquivo";
        else if (storage == "cloud")
            place += ", na nuvem";
        const std::string provider = text_of(source, "provider");
        if (!provider.empty())
            place += " (" + provider + ")";
    }
    if (source.is_object() && source.value("requires_pin", false))
        place += ", pede PIN";
    return place;
}

}  // namespace

std::size_t text_width(std::string_view text) {
    std::size_t n = 0;
    for (unsigned char c : text) {
        if ((c & 0xc0) != 0x80)
            ++n;
    }
    return n;
}

std::string wrap(std::string_view text, std::size_t width, std::size_t indent) {
    std::string out;
    std::size_t column = 0;
    bool line_empty = true;
    while (!text.empty()) {
        const auto blank = text.find(' ');
        const std::string_view word = text.substr(0, blank);
        text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
        if (word.empty())
            continue;
        const std::size_t w = text_width(word);
        if (!line_empty && column + 1 + w > width) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
            line_empty = true;
        }
        if (!line_empty) {
            out += ' ';
            ++column;
        }
        out += word;
        column += w;
        line_empty = false;
    }
    return out;
}

std::string format_cpf(std::string_view d) {
    if (!all_digits(d, 11))
        return std::string(d);
    return std::string(d.substr(0, 3)) + "." + std::string(d.substr(3, 3)) + "." +
           std::string(d.substr(6, 3)) + "-" + std::string(d.substr(9, 2));
}

std::string format_cnpj(std::string_view d) {
    if (!all_digits(d, 14))
        return std::string(d);
    return std::string(d.substr(0, 2)) + "." + std::string(d.substr(2, 3)) + "." +
           std::string(d.substr(5, 3)) + "/" + std::string(d.substr(8, 4)) + "-" +
           std::string(d.substr(12, 2));
}

std::string format_date(std::string_view t) {
    if (t.size() < 10 || t[4] != '-' || t[7] != '-')
        return std::string(t);
    return std::string(t.substr(8, 2)) + "/" + std::string(t.substr(5, 2)) + "/" +
           std::string(t.substr(0, 4));
}

std::string format_certificates(const json& r, std::string_view today) {
    const json& certs = array_of(r, "certificates");
    if (certs.empty())
        return "nenhum certificado encontrado\n";
    std::string out;
    for (const auto& c : certs) {
        const json& pki = c.is_object() && c.contains("pki_brazil") ? c["pki_brazil"] : json();
        const std::string cnpj = text_of(pki, "cnpj");
        const std::string cpf = text_of(pki, "cpf");
        const std::string document = cnpj.empty() ? cpf : cnpj;
        const std::string name = holder_name(c, document);
        const std::string shown_document = !cnpj.empty()  ? "CNPJ " + format_cnpj(cnpj)
                                           : !cpf.empty() ? "CPF " + format_cpf(cpf)
                                                          : std::string();
        if (!out.empty())
            out += "\n";
        // The document beside the name when both fit, else on a line of its own.
        if (shown_document.empty())
            out += wrap(name, kColumns, 2) + "\n";
        else if (text_width(name) + 3 + text_width(shown_document) <= kColumns)
            out += name + " · " + shown_document + "\n";
        else
            out += wrap(name, kColumns, 2) + "\n  " + shown_document + "\n";
        std::string issued = validity(c, today);
        if (const std::string issuer = text_of(c, "issuer_cn"); !issuer.empty())
            issued += ", emitido por " + issuer;
        out += "  " + wrap(issued, kColumns - 2, 4) + "\n";
        std::string keys;
        for (const auto& s : array_of(c, "sources"))
            keys += (keys.empty() ? "chave " : "; ") + key_place(s);
        if (!keys.empty())
            out += "  " + wrap(keys, kColumns - 2, 4) + "\n";
        // 13 + 64 columns: the thumbprint fits whole, to copy in one piece.
        out += "  impressão: " + text_of(c, "thumbprint") + "\n";
    }
    return out;
}

std::string format_tokens(const json& r) {
    const json& tokens = array_of(r, "tokens");
    if (tokens.empty())
        return "nenhum token encontrado\n";
    std::string out;
    for (const auto& t : tokens) {
        std::string label = text_of(t, "label");
        std::string head = label.empty() ? "(token sem nome)" : label;
        std::vector<std::string> about;
        for (const char* key : {"manufacturer", "model"}) {
            if (std::string v = text_of(t, key); !v.empty())
                about.push_back(std::move(v));
        }
        if (std::string serial = text_of(t, "serial_number"); !serial.empty())
            about.push_back("série " + serial);
        for (std::size_t i = 0; i < about.size(); ++i)
            head += (i == 0 ? " · " : ", ") + about[i];
        out += wrap(head, kColumns, 2) + "\n";
        std::string where = "módulo " + text_of(t, "module");
        if (t.is_object() && t.contains("slot_id"))
            where += ", slot " + t["slot_id"].dump();
        out += "  " + wrap(where, kColumns - 2, 4) + "\n";
    }
    return out;
}

std::string format_pong(const json& r, const AgentSetup& setup) {
    std::string out = "o agente respondeu: versão " + text_of(r, "agent_version");
    if (r.is_object() && r.contains("protocol_version"))
        out += ", protocolo " + r["protocol_version"].dump();
    out += "\n";
    std::string config = "configuração: ";
    if (!setup.config_file || setup.config_file->empty())
        config += "nenhum arquivo";
    else if (setup.config_read)
        config += utf8(*setup.config_file);
    else if (setup.problems.empty())
        config += utf8(*setup.config_file) + " (não existe; valem os padrões)";
    else
        config += utf8(*setup.config_file) + " (não usada: veja o aviso)";
    out += wrap(config, kColumns, 2) + "\n";
    if (setup.modules.empty()) {
        out += wrap(
                   "módulos PKCS#11: nenhum; para ler um token, indique o módulo do fabricante "
                   "(veja \"O módulo do seu token\" em tolvexctl --help)",
                   kColumns, 2) +
               "\n";
        return out;
    }
    out += setup.modules_from == ModulesFrom::variable
               ? "módulos PKCS#11 (de TOLVEX_PKCS11_MODULES):\n"
           : setup.modules_from == ModulesFrom::file
               ? "módulos PKCS#11 (da configuração):\n"
               : "módulos PKCS#11 (os conhecidos, achados neste computador):\n";
    for (const auto& m : setup.modules) {
        std::error_code ec;
        out += "  " + utf8(m) + (std::filesystem::exists(m, ec) ? "" : " (não existe)") + "\n";
    }
    return out;
}

}  // namespace tolvexctl
