#include "commands.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <vector>

#include "agent_setup.hpp"
#include "codec.hpp"
#include "display.hpp"
#include "messages.hpp"
#include "process.hpp"
#include "registration.hpp"
#include "session.hpp"
#include "text.hpp"

namespace tolvexctl {

namespace {

using nlohmann::json;

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

std::string today_utc() {
    const auto days = std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
    const std::chrono::year_month_day ymd{days};
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    return buf;
}

// One command against the agent: the options, the streams and what the
// warnings have shown so far about the agent's setup.
class AgentCommand {
  public:
    AgentCommand(const Options& o, std::istream& in, std::ostream& out, std::ostream& err,
                 const PinPrompt& prompt)
        : o_(o), in_(in), out_(out), err_(err), prompt_(prompt), setup_(inspect_agent_setup()) {}

    int run();

  private:
    void warn(const std::string& text, const std::string& detail = {}) {
        err_ << "tolvexctl: aviso: " << text << "\n";
        if (o_.verbose && !detail.empty())
            err_ << "  (" << detail << ")\n";
    }
    int fail(const Failure& f);
    int show_warnings(const json& warnings, const char* origin_key);
    void explain_missing_modules(Session& session);
    int run_listing(Session& session);
    int run_sign(Session& session);
    int run_raw(Session& session);

    const Options& o_;
    std::istream& in_;
    std::ostream& out_;
    std::ostream& err_;
    const PinPrompt& prompt_;
    AgentSetup setup_;
    bool setup_broken_ = false;
};

int AgentCommand::fail(const Failure& f) {
    if (f.code.empty()) {
        err_ << "tolvexctl: " << f.message << "\n";
        return kExitFailure;
    }
    err_ << "tolvexctl: " << explain_error(f.code, f.message) << "\n";
    if (o_.verbose)
        err_ << "  (" << f.code << ": " << f.message << ")\n";
    if (o_.json)
        out_ << dump(json{{"error", {{"code", f.code}, {"message", f.message}}}}) << "\n";
    return setup_broken_ ? kExitSetup : kExitAgentError;
}

// Shows the warnings of a listing; when every module the agent was to use
// failed as a whole, says so and marks the setup as broken.
int AgentCommand::show_warnings(const json& warnings, const char* origin_key) {
    std::set<std::filesystem::path> failed;
    if (warnings.is_array()) {
        for (const auto& w : warnings) {
            const std::string origin = w.is_object() ? w.value(origin_key, "") : "";
            const std::string message = w.is_object() ? w.value("message", "") : "";
            const auto module = std::find_if(setup_.modules.begin(), setup_.modules.end(),
                                             [&](const auto& m) { return utf8(m) == origin; });
            if (module != setup_.modules.end()) {
                failed.insert(*module);
                warn("o módulo " + origin +
                         " não pôde ser usado: " + explain_module_failure(message, *module),
                     message);
                continue;
            }
            // "module/label": one token of a module that did load.
            const auto token =
                std::find_if(setup_.modules.begin(), setup_.modules.end(),
                             [&](const auto& m) { return origin.starts_with(utf8(m) + "/"); });
            if (token != setup_.modules.end()) {
                const std::string label = origin.substr(utf8(*token).size() + 1);
                warn("o token \"" + label + "\" (" + utf8(*token) +
                         ") não pôde ser lido: " + explain_module_failure(message, *token),
                     message);
            } else if (origin == "Os" || origin == "Pkcs11") {
                warn(std::string("um certificado ") +
                         (origin == "Os" ? "do repositório do sistema" : "de um token") +
                         " está danificado e ficou de fora",
                     message);
            } else {
                warn(origin + ": " + message);
            }
        }
    }
    if (!setup_.modules.empty() &&
        failed.size() == std::set(setup_.modules.begin(), setup_.modules.end()).size()) {
        warn("nenhum módulo PKCS#11 pôde ser carregado: os tokens não podem ser lidos");
        setup_broken_ = true;
    }
    return setup_broken_ ? kExitSetup : kExitOk;
}

// After a signature that found no key: the modules that failed are the
// likely reason, and only a listing says which.
void AgentCommand::explain_missing_modules(Session& session) {
    if (setup_.modules.empty()) {
        warn(
            "nenhum módulo PKCS#11 configurado: um certificado de token só é achado com o "
            "módulo do fabricante (veja \"O módulo do seu token\" em tolvexctl --help)");
        return;
    }
    if (auto tokens = session.call("list_tokens"); tokens && tokens->is_object())
        show_warnings(tokens->value("warnings", json::array()), "module");
}

int AgentCommand::run_listing(Session& session) {
    const bool tokens = o_.command == "tokens";
    const bool ping = o_.command == "ping";
    auto result = session.call(ping ? "ping" : tokens ? "list_tokens" : "list_certificates");
    if (!result)
        return fail(result.error());
    if (o_.json)
        out_ << dump(*result) << "\n";
    else if (ping)
        out_ << format_pong(*result, setup_);
    else if (tokens)
        out_ << format_tokens(*result);
    else
        out_ << format_certificates(*result, today_utc());
    if (ping || !result->is_object())
        return setup_broken_ ? kExitSetup : kExitOk;
    const int status =
        show_warnings(result->value("warnings", json::array()), tokens ? "module" : "source");
    const bool empty = result->value(tokens ? "tokens" : "certificates", json::array()).empty();
    if (empty && setup_.modules.empty()) {
        warn(
            "nenhum módulo PKCS#11 configurado: para ver os certificados de um token, "
            "indique o módulo do fabricante (veja \"O módulo do seu token\" em tolvexctl "
            "--help)");
    }
    return status;
}

// The whole file, or why it cannot be read, in words.
std::expected<std::string, std::string> read_file(const std::filesystem::path& file) {
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (!std::filesystem::exists(status))
        return std::unexpected("o arquivo " + utf8(file) + " não existe");
    if (std::filesystem::is_directory(status))
        return std::unexpected(utf8(file) + " é uma pasta, não um arquivo");
    errno = 0;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        const int e = errno;
        return std::unexpected("não foi possível ler " + utf8(file) + ": " +
                               (e == EACCES || e == EPERM ? std::string("sem permissão")
                                : e != 0                  ? std::string(std::strerror(e))
                                                          : std::string("erro desconhecido")));
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::unexpected("não foi possível ler " + utf8(file) + " até o fim");
    return bytes;
}

int AgentCommand::run_sign(Session& session) {
    const bool data = o_.data_file.has_value();
    const auto& file = data ? *o_.data_file : *o_.hash_file;
    auto bytes = read_file(file);
    if (!bytes) {
        err_ << "tolvexctl: " << bytes.error() << "\n";
        return kExitFailure;
    }
    // Base64 grows it by a third, and a request is at most 1 MiB.
    constexpr std::size_t kMaxData = (kMaxFrameBytes - 1024) / 4 * 3;
    if (data && bytes->size() > kMaxData) {
        err_ << "tolvexctl: " << utf8(file) << " tem " << bytes->size()
             << " bytes, e o agente recebe até " << kMaxData
             << " por pedido: assine o resumo dele com --hash-file (por exemplo, de openssl "
                "dgst -sha256 -binary)\n";
        return kExitUsage;
    }
    json fields = json::object();
    fields["thumbprint"] = *o_.thumbprint;
    fields[data ? "data" : "hash"] = base64_encode(*bytes);
    if (o_.digest)
        fields["digest_algorithm"] = *o_.digest;

    std::optional<std::string> pin;
    auto ask = [&]() -> bool {
        auto typed = prompt_();
        if (!typed) {
            err_ << "tolvexctl: " << typed.error() << "\n";
            return false;
        }
        pin = std::move(*typed);
        return true;
    };
    if (o_.pin_stdin) {
        if (prompt_) {
            if (!ask())
                return kExitUsage;
        } else {
            std::string line;
            line.reserve(256);
            if (!std::getline(in_, line)) {
                err_ << "tolvexctl: nenhum PIN na entrada padrão (--pin-stdin lê a primeira "
                        "linha)\n";
                return kExitUsage;
            }
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            pin = std::move(line);
        }
    }
    auto sign = [&]() {
        json request = fields;
        if (pin)
            request["pin"] = *pin;
        return session.call("sign", std::move(request));
    };
    auto result = sign();
    // Without a PIN first: a key that needs none is not made to wait for
    // one, and a person at the terminal is asked only when the token wants it.
    if (!result && result.error().code == "pin_required" && !pin && prompt_) {
        if (!ask())
            return kExitUsage;
        result = sign();
    }
    if (pin)
        wipe(*pin);
    if (!result) {
        const std::string& code = result.error().code;
        if (code == "certificate_not_found" || code == "key_not_found" || code == "sign_failed")
            explain_missing_modules(session);
        return fail(result.error());
    }
    if (o_.json)
        out_ << dump(*result) << "\n";
    else
        out_ << (result->is_object() ? result->value("signature", "") : std::string()) << "\n";
    return setup_broken_ ? kExitSetup : kExitOk;
}

int AgentCommand::run_raw(Session& session) {
    std::string line;
    while (std::getline(in_, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        auto answer = session.exchange(line);
        if (!answer)
            return fail(answer.error());
        out_ << *answer << "\n" << std::flush;
    }
    return setup_broken_ ? kExitSetup : kExitOk;
}

int AgentCommand::run() {
    // Before the agent starts: the problems it would only mention on its
    // standard error, which nobody sees.
    for (const auto& p : setup_.problems)
        warn(p.text, p.detail);
    setup_broken_ = !setup_.problems.empty();

    auto session =
        Session::open(agent_path(o_),
                      o_.origin ? std::vector{*o_.origin} : std::vector<std::string>{}, o_.verbose);
    if (!session)
        return fail(session.error());
    const int status = o_.command == "raw"    ? run_raw(*session)
                       : o_.command == "sign" ? run_sign(*session)
                                              : run_listing(*session);
    if (status != kExitOk && status != kExitSetup)
        return status;
    const int agent_status = session->finish();
    if (agent_status != 0) {
        err_ << "tolvexctl: o agente terminou com status " << agent_status << "\n";
        return kExitFailure;
    }
    return status;
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

}  // namespace

int run(const Options& o, std::istream& in, std::ostream& out, std::ostream& err,
        const PinPrompt& prompt) {
    if (o.command == "help") {
        out << usage_text();
        return kExitOk;
    }
    if (o.command == "version") {
        out << version_text();
        return kExitOk;
    }
    if (o.command == "install" || o.command == "uninstall")
        return run_registration(o, out, err);
    return AgentCommand(o, in, out, err, prompt).run();
}

}  // namespace tolvexctl
