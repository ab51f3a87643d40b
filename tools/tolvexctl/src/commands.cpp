#include "commands.hpp"

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <vector>

#include "codec.hpp"
#include "process.hpp"
#include "registration.hpp"
#include "session.hpp"
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

std::string dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::filesystem::path agent_path(const Options& o) {
    if (o.agent)
        return std::filesystem::absolute(*o.agent);
    if (auto own = own_directory())
        return *own / agent_file_name();
    return std::filesystem::path(agent_file_name());
}

std::string key_places(const json& sources) {
    std::string out;
    if (!sources.is_array())
        return out;
    for (const auto& s : sources) {
        if (!out.empty())
            out += "; ";
        std::string label = text_of(s, "label");
        out += label.empty() ? "(sem rótulo)" : label;
        out += " (" + text_of(s, "kind") + ", " + text_of(s, "key_storage");
        if (s.is_object() && s.value("requires_pin", false))
            out += ", PIN";
        const std::string provider = text_of(s, "provider");
        if (!provider.empty())
            out += ", " + provider;
        out += ")";
    }
    return out;
}

std::string document_of(const json& pki) {
    const std::string cnpj = text_of(pki, "cnpj");
    if (!cnpj.empty())
        return "CNPJ " + cnpj;
    const std::string cpf = text_of(pki, "cpf");
    if (!cpf.empty())
        return "CPF " + cpf;
    return "-";
}

std::string validity_of(const json& cert) {
    // RFC 3339 times; the date part is what a person compares.
    auto day = [](std::string t) { return t.size() >= 10 ? t.substr(0, 10) : t; };
    return day(text_of(cert, "not_before")) + " a " + day(text_of(cert, "not_after"));
}

std::string render_table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        if (widths.size() < row.size())
            widths.resize(row.size(), 0);
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], text_width(row[c]));
        }
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size())
                line.append(widths[c] - text_width(row[c]) + 2, ' ');
        }
        out += line + "\n";
    }
    return out;
}

void append_warnings(std::string& out, const json& result, const char* origin_key) {
    if (!result.contains("warnings") || !result["warnings"].is_array())
        return;
    for (const auto& w : result["warnings"]) {
        out += "aviso: " + text_of(w, origin_key) + ": " + text_of(w, "message") + "\n";
    }
}

std::expected<std::string, std::string> read_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::unexpected("não foi possível ler " + utf8(file));
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::unexpected("não foi possível ler " + utf8(file));
    return bytes;
}

std::vector<std::string> agent_args(const Options& o) {
    if (o.origin)
        return {*o.origin};
    return {};
}

int report(std::ostream& err, const Failure& f) {
    err << "tolvexctl: " << describe(f) << "\n";
    return f.code.empty() ? kExitFailure : kExitAgentError;
}

int run_registration(const Options& o, std::ostream& out, std::ostream& err) {
    Registration r;
    r.browsers = o.browsers;
    if (r.browsers.empty())
        r.browsers.assign(std::begin(kAllBrowsers), std::end(kAllBrowsers));
    r.scope = o.scope;
    r.dir = o.dir;
    if (r.dir)
        r.dir = std::filesystem::absolute(*r.dir);
    r.spec.host_name = o.host_name;
    r.spec.agent_path = agent_path(o);
    std::vector<std::string> ids = o.extension_ids;
    if (ids.empty())
        ids.emplace_back(kSampleExtensionId);
    for (const auto& id : ids) {
        auto origin = normalise_origin(id);
        if (!origin) {
            err << "tolvexctl: " << origin.error() << "\n";
            return kExitUsage;
        }
        r.spec.origins.push_back(*origin);
    }
    r.spec.firefox_ids = o.firefox_ids;
    if (r.spec.firefox_ids.empty())
        r.spec.firefox_ids.emplace_back(kDefaultFirefoxId);

    if (o.command == "install") {
        std::error_code ec;
        if (!std::filesystem::exists(r.spec.agent_path, ec)) {
            err << "tolvexctl: aviso: o agente não existe em " << utf8(r.spec.agent_path) << "\n";
        }
    }
    auto done = o.command == "install" ? install_host(r) : uninstall_host(r);
    if (!done) {
        err << "tolvexctl: " << done.error() << "\n";
        return kExitFailure;
    }
    for (const auto& line : *done)
        out << line << "\n";
    return kExitOk;
}

int run_raw(Session& session, std::istream& in, std::ostream& out, std::ostream& err) {
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        auto answer = session.exchange(line);
        if (!answer)
            return report(err, answer.error());
        out << *answer << "\n" << std::flush;
    }
    return kExitOk;
}

int run_sign(const Options& o, Session& session, std::istream& in, std::ostream& out,
             std::ostream& err) {
    json fields = json::object();
    fields["thumbprint"] = *o.thumbprint;
    const bool data = o.data_file.has_value();
    auto bytes = read_file(data ? *o.data_file : *o.hash_file);
    if (!bytes) {
        err << "tolvexctl: " << bytes.error() << "\n";
        return kExitFailure;
    }
    fields[data ? "data" : "hash"] = base64_encode(*bytes);
    if (o.digest)
        fields["digest_algorithm"] = *o.digest;
    if (o.pin_stdin) {
        std::string pin;
        if (!std::getline(in, pin)) {
            err << "tolvexctl: nenhum PIN na entrada padrão\n";
            return kExitUsage;
        }
        if (!pin.empty() && pin.back() == '\r')
            pin.pop_back();
        fields["pin"] = pin;
        wipe(pin);
    }
    auto result = session.call("sign", std::move(fields));
    if (!result)
        return report(err, result.error());
    if (o.json) {
        out << dump(*result) << "\n";
    } else {
        out << text_of(*result, "signature") << "\n";
    }
    return kExitOk;
}

}  // namespace

std::size_t text_width(const std::string& text) {
    std::size_t n = 0;
    for (unsigned char c : text) {
        if ((c & 0xc0) != 0x80)
            ++n;
    }
    return n;
}

std::string format_pong(const json& r) {
    std::string commands;
    if (r.contains("commands") && r["commands"].is_array()) {
        for (const auto& c : r["commands"]) {
            if (!commands.empty())
                commands += ", ";
            commands += c.is_string() ? c.get<std::string>() : dump(c);
        }
    }
    const std::string protocol = r.contains("protocol_version") ? dump(r["protocol_version"]) : "?";
    return "agente " + text_of(r, "agent_version") + ", protocolo " + protocol + ", repositório " +
           text_of(r, "os_store") + "\ncomandos: " + commands + "\n";
}

std::string format_tokens(const json& r) {
    std::string out;
    const json empty = json::array();
    const json& tokens = r.contains("tokens") && r["tokens"].is_array() ? r["tokens"] : empty;
    if (tokens.empty()) {
        out += "nenhum token encontrado\n";
    } else {
        std::vector<std::vector<std::string>> rows{
            {"Slot", "Rótulo", "Fabricante", "Modelo", "Série", "Módulo"}};
        for (const auto& t : tokens) {
            rows.push_back({t.contains("slot_id") ? dump(t["slot_id"]) : "?", text_of(t, "label"),
                            text_of(t, "manufacturer"), text_of(t, "model"),
                            text_of(t, "serial_number"), text_of(t, "module")});
        }
        out += render_table(rows);
    }
    append_warnings(out, r, "module");
    return out;
}

std::string format_certificates(const json& r) {
    std::string out;
    const json empty = json::array();
    const json& certs =
        r.contains("certificates") && r["certificates"].is_array() ? r["certificates"] : empty;
    if (certs.empty()) {
        out += "nenhum certificado encontrado\n";
    } else {
        std::vector<std::vector<std::string>> rows{
            {"Titular (CN)", "CPF/CNPJ", "Validade", "Chave", "Impressão digital"}};
        for (const auto& c : certs) {
            const json pki = c.contains("pki_brazil") ? c["pki_brazil"] : json::object();
            rows.push_back({text_of(c, "subject_cn"), document_of(pki), validity_of(c),
                            key_places(c.contains("sources") ? c["sources"] : json()),
                            text_of(c, "thumbprint")});
        }
        out += render_table(rows);
    }
    append_warnings(out, r, "source");
    return out;
}

int run(const Options& o, std::istream& in, std::ostream& out, std::ostream& err) {
    if (o.command == "help") {
        out << usage_text();
        return kExitOk;
    }
    if (o.command == "install" || o.command == "uninstall")
        return run_registration(o, out, err);

    auto session = Session::open(agent_path(o), agent_args(o), o.verbose);
    if (!session)
        return report(err, session.error());

    int status = kExitOk;
    if (o.command == "raw") {
        status = run_raw(*session, in, out, err);
    } else if (o.command == "sign") {
        status = run_sign(o, *session, in, out, err);
    } else {
        const std::string command = o.command == "ping"     ? "ping"
                                    : o.command == "tokens" ? "list_tokens"
                                                            : "list_certificates";
        auto result = session->call(command);
        if (!result)
            return report(err, result.error());
        if (o.json) {
            out << dump(*result) << "\n";
        } else if (o.command == "ping") {
            out << format_pong(*result);
        } else if (o.command == "tokens") {
            out << format_tokens(*result);
        } else {
            out << format_certificates(*result);
        }
    }
    if (status != kExitOk)
        return status;
    const int agent_status = session->finish();
    if (agent_status != 0) {
        err << "tolvexctl: o agente terminou com status " << agent_status << "\n";
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace tolvexctl
