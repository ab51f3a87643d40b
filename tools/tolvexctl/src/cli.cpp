#include "cli.hpp"

#include "text.hpp"

#include <algorithm>
#include <array>

namespace tolvexctl {

namespace {

constexpr std::array kCommands{"install", "uninstall", "ping", "tokens",
                               "certs",   "sign",      "raw",  "help"};

bool is_agent_command(std::string_view c) {
    return c == "ping" || c == "tokens" || c == "certs" || c == "sign" || c == "raw";
}
bool is_registration_command(std::string_view c) {
    return c == "install" || c == "uninstall";
}

std::expected<void, std::string> add_browsers(Options& o, std::string_view list) {
    while (!list.empty()) {
        const auto comma = list.find(',');
        const auto item = list.substr(0, comma);
        auto b = parse_browser(item);
        if (!b) {
            return std::unexpected("navegador desconhecido: " + std::string(item) +
                                   " (use chrome, chromium, edge ou firefox)");
        }
        if (std::find(o.browsers.begin(), o.browsers.end(), *b) == o.browsers.end()) {
            o.browsers.push_back(*b);
        }
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    return {};
}

}  // namespace

std::expected<Options, std::string> parse_command_line(const std::vector<std::string>& args) {
    Options o;
    if (args.empty())
        return std::unexpected(std::string("falta o comando"));
    o.command = args[0];
    if (o.command == "--help" || o.command == "-h")
        o.command = "help";
    if (std::find(kCommands.begin(), kCommands.end(), o.command) == kCommands.end()) {
        return std::unexpected("comando desconhecido: " + o.command);
    }
    const bool agent_cmd = is_agent_command(o.command);
    const bool reg_cmd = is_registration_command(o.command);

    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inline_value;
        if (const auto eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
            inline_value = name.substr(eq + 1);
            name.resize(eq);
        }
        auto value = [&]() -> std::expected<std::string, std::string> {
            if (inline_value)
                return *inline_value;
            if (i + 1 >= args.size())
                return std::unexpected("falta o valor de " + name);
            return args[++i];
        };
        auto flag = [&](bool& target) -> std::expected<void, std::string> {
            if (inline_value)
                return std::unexpected(name + " não recebe valor");
            target = true;
            return {};
        };
        auto only = [&](bool allowed) -> std::expected<void, std::string> {
            if (!allowed)
                return std::unexpected(name + " não se aplica a " + o.command);
            return {};
        };
        // `step` holds the outcome of the matched option. An option that does
        // not apply to the command fails in only() and falls through the chain
        // with that error; an unmatched name reaches the last branch.
        std::expected<void, std::string> step;

        if (name == "--pin" || name.starts_with("--pin=")) {
            // A PIN in argv is visible to every process on the machine.
            return std::unexpected(
                std::string("o PIN não é aceito na linha de comando; use --pin-stdin"));
        } else if (name == "--agent") {
            auto v = value();
            if (!v)
                return std::unexpected(v.error());
            o.agent = path_from_utf8(*v);
        } else if (name == "--origin" && (step = only(agent_cmd))) {
            auto v = value();
            if (!v)
                return std::unexpected(v.error());
            o.origin = *v;
        } else if (name == "--verbose" && (step = only(agent_cmd))) {
            step = flag(o.verbose);
        } else if (name == "--json" && (step = only(agent_cmd))) {
            step = flag(o.json);
        } else if (name == "--browser" && (step = only(reg_cmd))) {
            auto v = value();
            if (!v)
                return std::unexpected(v.error());
            step = add_browsers(o, *v);
        } else if (name == "--extension-id" && (step = only(reg_cmd))) {
            auto v = value();
            if (!v)
                return std::unexpected(v.error());
            o.extension_ids.push_back(*v);
        } else if (name == "--firefox-id" && (step = only(reg_cmd))) {
            auto v = value();
            if (!v)
                return std::unexpected(v.error());
            o.firefox_ids.push_back(*v);
        } else if (name == "--user" && (step = only(reg_cmd))) {
            bool on = false;
            step = flag(on);
            o.scope = Scope::user;
        } else if (name == "--system" && (step = only(reg_cmd))) {
            bool on = false;
            step = flag(on);
            o.scope = Scope::system;
        } else if (name == "--name" && (step = only(reg_cmd))) {
            auto v = value();
            if (!v)
                return std::unexpected(v.error());
            o.host_name = *v;
        } else if (name == "--dir" && (step = only(reg_cmd))) {
            auto v = value();
            if (!v)
                return std::unexpected(v.error());
            o.dir = path_from_utf8(*v);
        } else if (name == "--thumbprint" && (step = only(o.command == "sign"))) {
            auto v = value();
            if (!v)
                return std::unexpected(v.error());
            o.thumbprint = *v;
        } else if (name == "--data-file" && (step = only(o.command == "sign"))) {
            auto v = value();
            if (!v)
                return std::unexpected(v.error());
            o.data_file = path_from_utf8(*v);
        } else if (name == "--hash-file" && (step = only(o.command == "sign"))) {
            auto v = value();
            if (!v)
                return std::unexpected(v.error());
            o.hash_file = path_from_utf8(*v);
        } else if (name == "--digest" && (step = only(o.command == "sign"))) {
            auto v = value();
            if (!v)
                return std::unexpected(v.error());
            if (*v != "SHA-256" && *v != "SHA-384" && *v != "SHA-512") {
                return std::unexpected("algoritmo de resumo desconhecido: " + *v +
                                       " (use SHA-256, SHA-384 ou SHA-512)");
            }
            o.digest = *v;
        } else if (name == "--pin-stdin" && (step = only(o.command == "sign"))) {
            step = flag(o.pin_stdin);
        } else if (step) {
            return std::unexpected("opção desconhecida: " + name);
        }
        if (!step)
            return std::unexpected(step.error());
    }

    if (o.command == "sign") {
        if (!o.thumbprint)
            return std::unexpected(std::string("sign precisa de --thumbprint"));
        if (o.data_file.has_value() == o.hash_file.has_value()) {
            return std::unexpected(
                std::string("sign precisa de --data-file ou --hash-file (só um)"));
        }
    }
    if (o.command == "raw" && o.json)
        return std::unexpected(std::string("raw já escreve JSON"));
    return o;
}

std::string usage_text() {
    return R"(uso: tolvexctl COMANDO [opções]

Registro do agente nos navegadores:
  install    [--browser chrome,chromium,edge,firefox] [--extension-id ID|ORIGEM]...
             [--firefox-id ID]... [--user|--system] [--name HOST] [--agent CAMINHO]
             [--dir PASTA]
  uninstall  [--browser ...] [--user|--system] [--name HOST] [--dir PASTA]

Conversa com o agente (iniciado por este programa, como faz o navegador):
  ping | tokens | certs      [--agent CAMINHO] [--origin ORIGEM] [--json] [--verbose]
  sign --thumbprint HEX (--data-file ARQ | --hash-file ARQ) [--digest SHA-256|SHA-384|SHA-512]
       [--pin-stdin]         o PIN é lido da primeira linha da entrada padrão
  raw                        um pedido JSON por linha na entrada, uma resposta por linha na saída

--agent escolhe o agente (o padrão fica na mesma pasta que o tolvexctl), --origin
passa a origem do chamador (necessária com TOLVEX_ALLOWED_ORIGINS), --verbose mostra
o log do agente e --json escreve o resultado como JSON. Sem --extension-id vale a
extensão de exemplo (ngdffiogcclincbckcnpmknjmklpfnkh); sem --firefox-id,
agente@tolvex.com.br.
Status de saída: 0 sucesso, 1 o agente respondeu com erro, 2 uso incorreto,
3 falha ao falar com o agente ou ao gravar arquivos.
)";
}

}  // namespace tolvexctl
