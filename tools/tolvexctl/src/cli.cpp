#include "cli.hpp"

#include <algorithm>
#include <array>
#include <cctype>

#include "console.hpp"
#include "text.hpp"

namespace tolvexctl {

namespace {

constexpr std::array kCommands{"install", "uninstall", "ping", "tokens", "certs",
                               "sign",    "raw",       "help", "version"};

// The names a person may type for a command: the English ones, and
// Portuguese ones where they read more naturally.
std::string canonical_command(const std::string& name) {
    if (name == "--help" || name == "-h" || name == "ajuda")
        return "help";
    if (name == "--version")
        return "version";
    if (name == "assinar")
        return "sign";
    if (name == "certificados")
        return "certs";
    return name;
}

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
    // Help asked for anywhere wins over everything else on the line.
    for (const auto& a : args) {
        if (a == "--help" || a == "-h") {
            o.command = "help";
            return o;
        }
    }
    o.command = canonical_command(args[0]);
    if (std::find(kCommands.begin(), kCommands.end(), o.command) == kCommands.end()) {
        return std::unexpected("comando desconhecido: " + args[0]);
    }
    if (o.command == "version" && args.size() > 1)
        return std::unexpected("--version não recebe mais nada: " + args[1]);
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
            return std::unexpected(std::string(
                "o PIN não é aceito na linha de comando: num terminal ele é pedido sem eco; "
                "em scripts, use --pin-stdin"));
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
            auto hex = normalise_thumbprint(*v);
            if (!hex)
                return std::unexpected(hex.error());
            o.thumbprint = std::move(*hex);
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
            o.digest = normalise_digest(*v);
            if (!o.digest) {
                return std::unexpected("algoritmo de resumo desconhecido: " + *v +
                                       " (use sha256, sha384 ou sha512)");
            }
        } else if (name == "--pin-stdin" && (step = only(o.command == "sign"))) {
            step = flag(o.pin_stdin);
        } else if (step) {
            return std::unexpected("opção desconhecida: " + name);
        }
        if (!step)
            return std::unexpected(step.error());
    }

    if (o.command == "sign") {
        if (!o.thumbprint) {
            return std::unexpected(std::string(
                "falta --thumbprint, a impressão digital do certificado (veja tolvexctl "
                "certificados)"));
        }
        if (o.data_file.has_value() == o.hash_file.has_value()) {
            return std::unexpected(
                std::string("diga o que assinar: --data-file ARQUIVO ou --hash-file ARQUIVO "
                            "(um dos dois)"));
        }
    }
    if (o.command == "raw" && o.json)
        return std::unexpected(std::string("raw já escreve JSON"));
    return o;
}

std::expected<std::string, std::string> normalise_thumbprint(std::string_view text) {
    std::string hex;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // Separators that viewers put between the digits, or that come along
        // when the text is copied: blank, tab, colon, no-break space (U+00A0)
        // and the direction marks U+200E, U+200F (Windows' dialog starts its
        // thumbprint with one).
        if (c == ' ' || c == '\t' || c == ':') {
            ++i;
            continue;
        }
        if (text.substr(i, 2) == "\xC2\xA0") {
            i += 2;
            continue;
        }
        if (text.substr(i, 3) == "\xE2\x80\x8E" || text.substr(i, 3) == "\xE2\x80\x8F") {
            i += 3;
            continue;
        }
        if (std::isxdigit(c) == 0) {
            // The whole UTF-8 character, not a piece of it.
            std::size_t n = 1;
            while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80)
                ++n;
            return std::unexpected("impressão digital malformada: \"" +
                                   std::string(text.substr(i, n)) +
                                   "\" não é um dígito hexadecimal (0-9, a-f)");
        }
        hex.push_back(static_cast<char>(std::tolower(c)));
        ++i;
    }
    if (hex.size() == 40) {
        return std::unexpected(std::string(
            "impressão digital malformada: 40 dígitos são uma impressão SHA-1, a que alguns "
            "visualizadores mostram; use a SHA-256, de 64 dígitos (tolvexctl certificados)"));
    }
    if (hex.size() != 64) {
        return std::unexpected("impressão digital malformada: tem " + std::to_string(hex.size()) +
                               " dígitos, e a SHA-256 de um certificado tem 64 "
                               "(tolvexctl certificados mostra a de cada um)");
    }
    return hex;
}

std::optional<std::string> normalise_digest(std::string_view text) {
    std::string bare;
    for (char c : text) {
        if (c != '-' && c != '_')
            bare.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    if (bare == "SHA256")
        return "SHA-256";
    if (bare == "SHA384")
        return "SHA-384";
    if (bare == "SHA512")
        return "SHA-512";
    return std::nullopt;
}

std::string version_text() {
    return "tolvexctl " TOLVEXCTL_VERSION "\n";
}

std::string usage_text() {
    const PlatformHelp& p = platform_help();
    std::string text = R"(uso: tolvexctl COMANDO [opções]

Certificados e assinaturas (cada comando inicia o agente, como o navegador faz):
  certificados, certs  os certificados com que se pode assinar
  tokens               os tokens e cartões conectados
  assinar, sign        assina um arquivo com um certificado:
    --thumbprint IMPRESSÃO  a impressão digital do certificado, como
                            "certificados" mostra (espaços e ":" são aceitos)
    --data-file ARQUIVO     o arquivo a assinar, ou
    --hash-file ARQUIVO     o resumo já calculado do arquivo (bytes, não texto)
    --digest sha256|sha384|sha512   o algoritmo do resumo (padrão: sha256)
    --pin-stdin             lê o PIN da 1ª linha da entrada (para scripts)
    Num terminal, o PIN é pedido sem eco quando o token o exige.
    A assinatura sai em Base64 na saída padrão.
  ping                 confere se o agente responde e o que ele vai usar
  raw                  um pedido JSON por linha, uma resposta por linha

  --json       escreve a resposta do agente em JSON (com o código de um erro)
  --verbose    mostra também os textos técnicos e o log do agente
  --agent CAMINHO   usa outro agente (padrão: o da pasta do tolvexctl)
  --origin ORIGEM   apresenta-se como essa extensão (quando o agente só aceita
                    as listadas em TOLVEX_ALLOWED_ORIGINS)

O módulo do seu token:
  Um token ou cartão é lido pelo módulo PKCS#11 do fabricante, uma biblioteca.
  O agente usa, nesta ordem:
  1. os caminhos da variável TOLVEX_PKCS11_MODULES, separados por ";";
  2. a lista "pkcs11_modules" do arquivo de configuração, que é o indicado em
     TOLVEX_AGENT_CONFIG ou @CONFIG@;
  3. os módulos conhecidos que existirem no computador.
  Exemplo de arquivo:
    { "pkcs11_modules": ["@MODULE_JSON@"] }
  ou, só para um comando:
    @ENV_EXAMPLE@
  "tolvexctl ping" mostra a configuração e os módulos que o agente vai usar.

Registro do agente nos navegadores:
  install    [--browser chrome,chromium,edge,firefox] [--user|--system]
             [--extension-id ID]... [--firefox-id ID]... [--name NOME]
             [--dir PASTA] [--agent CAMINHO]
  uninstall  [--browser ...] [--user|--system] [--name NOME] [--dir PASTA]
  Sem --extension-id vale a extensão de exemplo; sem --firefox-id,
  agente@tolvex.com.br. --system registra para todos os usuários, sem tocar
  nos arquivos que um pacote instalado (o .deb do agente) já registrou.

Status de saída:
  0  sucesso
  1  o agente respondeu com um erro (PIN incorreto, certificado não
     encontrado, ...)
  2  uso incorreto
  3  não foi possível falar com o agente, ou ler ou gravar um arquivo
  4  a configuração do agente é inválida, ou nenhum módulo PKCS#11 pôde ser
     carregado (a resposta do comando é mostrada assim mesmo)
)";
    auto put = [&](std::string_view key, std::string_view value) {
        text.replace(text.find(key), key.size(), value);
    };
    put("@CONFIG@", p.config_file);
    put("@MODULE_JSON@", p.module_example_json);
    put("@ENV_EXAMPLE@", p.env_example);
    return text;
}

}  // namespace tolvexctl
