#include "messages.hpp"

#include <array>
#include <optional>
#include <span>
#include <system_error>
#include <utility>

namespace tolvexctl {

namespace {

using Pair = std::pair<std::string_view, std::string_view>;

bool has(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

std::string_view lookup(std::string_view key, std::span<const Pair> table, std::string_view dflt) {
    for (const auto& [k, v] : table) {
        if (k == key)
            return v;
    }
    return dflt;
}

// PKCS#11 return values as the agent names them, and what they mean to a
// person holding the token.
constexpr std::array kReturnValues{
    Pair{"TokenNotPresent", "nenhum token conectado"},
    Pair{"DeviceRemoved", "o token foi removido"},
    Pair{"DeviceError", "falha no token ou no leitor"},
    Pair{"DeviceMemory", "o token está sem memória"},
    Pair{"HostMemory", "falta memória"},
    Pair{"TokenNotRecognized", "token não reconhecido"},
    Pair{"GeneralError", "erro interno do módulo"},
    Pair{"FunctionFailed", "o token não conseguiu fazer a operação"},
    Pair{"CantLock", "o módulo não aceita ser usado por vários programas ao mesmo tempo"},
    Pair{"ArgumentsBad", "o módulo precisa de uma configuração própria"},
    Pair{"PinIncorrect", "PIN incorreto"},
    Pair{"PinInvalid", "PIN com caracteres não aceitos"},
    Pair{"PinLenRange", "PIN com tamanho fora do aceito"},
    Pair{"PinExpired", "PIN vencido: troque-o com o programa do fabricante"},
    Pair{"PinLocked", "PIN bloqueado"},
    Pair{"UserNotLoggedIn", "o token exige o PIN"},
    Pair{"KeyHandleInvalid", "a chave não está mais no token"},
    Pair{"SessionHandleInvalid", "o token fechou a sessão"},
    Pair{"SessionClosed", "o token fechou a sessão"},
    Pair{"MechanismInvalid", "o token não faz esse tipo de assinatura"},
};

// The step of a PKCS#11 call, by function name without "C_".
constexpr std::array kSteps{
    Pair{"Initialize", "ao iniciar o módulo"},
    Pair{"GetSlotList", "ao procurar os tokens"},
    Pair{"GetSlotInfo", "ao procurar os tokens"},
    Pair{"GetTokenInfo", "ao ler os dados do token"},
    Pair{"OpenSession", "ao abrir o token"},
    Pair{"FindObjectsInit", "ao ler os certificados"},
    Pair{"FindObjects", "ao ler os certificados"},
    Pair{"FindObjectsFinal", "ao ler os certificados"},
    Pair{"GetAttributeValue", "ao ler os certificados"},
    Pair{"Login", "ao conferir o PIN"},
    Pair{"SignInit", "ao assinar"},
    Pair{"Sign", "ao assinar"},
};

struct CallFailure {
    std::string_view step;  // "ao iniciar o módulo", ...; may be empty
    std::string what;
    std::string text() const {
        return step.empty() ? what : "falha " + std::string(step) + ": " + what;
    }
};

// "Function::Login: PKCS11 error: PinIncorrect" and its like; nothing when
// the text is not of that form.
std::optional<CallFailure> explain_call_failure(std::string_view text) {
    constexpr std::string_view kFunction = "Function::";
    constexpr std::string_view kError = ": PKCS11 error: ";
    if (text == "Calling a NULL function pointer")
        return CallFailure{{}, "o módulo não oferece uma função de que o agente precisa"};
    if (!text.starts_with(kFunction))
        return std::nullopt;
    const auto colon = text.find(kError);
    std::string_view function = text.substr(kFunction.size());
    function = function.substr(0, function.find(':'));
    CallFailure failure{lookup(function, kSteps, ""), "erro do módulo"};
    if (colon != std::string_view::npos) {
        const std::string_view rv = text.substr(colon + kError.size());
        failure.what = std::string(lookup(rv, kReturnValues, ""));
        if (failure.what.empty())
            failure.what = "o módulo respondeu " + std::string(rv);
    }
    return failure;
}

// What the agent says after "não suportado: " or "falha ao assinar: ".
std::string explain_detail(std::string_view detail) {
    constexpr std::string_view kLogin = "login no token: ";
    if (detail.starts_with(kLogin)) {
        auto inner = explain_call_failure(detail.substr(kLogin.size()));
        return "o token recusou o PIN: " +
               (inner ? inner->what : std::string(detail.substr(kLogin.size())));
    }
    if (auto call = explain_call_failure(detail))
        return call->text();
    if (detail == "tamanho do hash não corresponde ao algoritmo")
        return "o resumo não tem o tamanho do algoritmo escolhido (--digest)";
    if (detail.starts_with("X.509 inválido"))
        return "o certificado está danificado e não pôde ser lido";
    if (detail.starts_with("algoritmo de chave pública") || detail.starts_with("tipo de chave"))
        return "o tipo de chave deste certificado (só RSA e curvas elípticas são aceitas)";
    if (detail == "resposta excede o limite do Native Messaging")
        return "a resposta passaria do limite de 1 MiB que o navegador aceita";
    return std::string(detail);
}

// The reader's `name` quoting and "or", in the words of the message.
std::string plain(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.substr(i, 4) == " or ") {
            out += " ou ";
            i += 3;
        } else {
            out.push_back(text[i] == '`' ? '"' : text[i]);
        }
    }
    return out;
}

}  // namespace

std::string explain_error(std::string_view code, std::string_view message) {
    if (code == "pin_required") {
        return "este certificado pede o PIN: rode o comando num terminal para digitá-lo, ou "
               "passe-o na primeira linha da entrada padrão com --pin-stdin";
    }
    if (code == "pin_locked") {
        return "PIN bloqueado: o token não aceita mais tentativas; desbloqueie-o com o "
               "programa do fabricante";
    }
    if (code == "certificate_not_found") {
        return "nenhum certificado com essa impressão digital neste computador ou nos tokens "
               "conectados (tolvexctl certificados mostra os que há)";
    }
    if (code == "key_not_found") {
        return std::string(message) + " (o token está conectado?)";
    }
    constexpr std::string_view kUnsupported = "não suportado: ";
    constexpr std::string_view kSignFailed = "falha ao assinar: ";
    if (code == "unsupported" && message.starts_with(kUnsupported))
        return "não suportado: " + explain_detail(message.substr(kUnsupported.size()));
    if (code == "sign_failed" && message.starts_with(kSignFailed))
        return "falha ao assinar: " + explain_detail(message.substr(kSignFailed.size()));
    if (code == "invalid_request" || code == "unknown_command") {
        // tolvexctl checks its requests itself: an agent that refuses one is
        // most likely of another version.
        return "o agente não aceitou o pedido (" + std::string(message) +
               "); o agente e o tolvexctl são da mesma versão?";
    }
    // PIN incorrect (three texts by tries left) and cancellation: the
    // agent's own words are already meant for people.
    return std::string(message);
}

std::string explain_module_failure(std::string_view text, const std::filesystem::path& module) {
    if (text.starts_with("libloading error")) {
        std::error_code ec;
        const auto status = std::filesystem::status(module, ec);
        if (!std::filesystem::exists(status))
            return "o arquivo não existe";
        if (!std::filesystem::is_regular_file(status))
            return "não é um arquivo de biblioteca";
        if (has(text, "wrong ELF class"))
            return "é uma biblioteca de 32 bits; o agente precisa da versão de 64 bits";
        if (has(text, "invalid ELF header") || has(text, "file too short"))
            return "o arquivo não é uma biblioteca";
        if (has(text, "Permission denied"))
            return "sem permissão para ler o arquivo";
        // The module is there, so the file dlopen could not open is one of
        // its dependencies.
        constexpr std::string_view kDlopen = "(dlopen failed: ";
        if (const auto at = text.find(kDlopen);
            at != std::string_view::npos && has(text, "cannot open shared object file")) {
            const std::string_view rest = text.substr(at + kDlopen.size());
            return "falta uma biblioteca de que o módulo depende: " +
                   std::string(rest.substr(0, rest.find(':')));
        }
        return "a biblioteca não pôde ser carregada (de outra arquitetura, ou falta uma "
               "biblioteca de que ela depende)";
    }
    if (text == "Missing PKCS#11 symbol: C_GetFunctionList")
        return "o arquivo é uma biblioteca, mas não um módulo PKCS#11";
    if (auto call = explain_call_failure(text))
        return call->text();
    return std::string(text);
}

std::string explain_config_error(std::string_view reader_text) {
    // The reader ends its description with " at line L column C".
    std::string_view what = reader_text;
    std::string where;
    if (const auto at = reader_text.rfind(" at line "); at != std::string_view::npos) {
        what = reader_text.substr(0, at);
        std::string_view pos = reader_text.substr(at + 9);
        const auto col = pos.find(" column ");
        if (col != std::string_view::npos) {
            where = "linha " + std::string(pos.substr(0, col)) + ", coluna " +
                    std::string(pos.substr(col + 8));
        }
    }
    std::string meaning;
    if (what.starts_with("EOF while parsing"))
        meaning = where == "linha 1, coluna 0" ? "o arquivo está vazio" : "o texto acaba no meio";
    else if (what == "trailing comma")
        meaning = "vírgula sobrando";
    else if (what == "trailing characters")
        meaning = "há texto depois do fim";
    else if (what == "key must be a string")
        meaning = "uma chave sem aspas";
    else if (what.starts_with("expected `"))
        meaning = "falta " + plain(what.substr(9));  // "expected `,` or `}`"
    else if (what.starts_with("duplicate field"))
        meaning = "a chave " + plain(what.substr(16)) + " aparece duas vezes";
    else if (what.starts_with("invalid type:")) {
        meaning = "valor do tipo errado";
        if (has(what, "expected a sequence"))
            meaning += " (\"pkcs11_modules\" é uma lista: [\"caminho\", ...])";
        else if (has(what, "expected path string"))
            meaning += " (um caminho vai entre aspas)";
        else if (has(what, "expected struct"))
            meaning += " (o arquivo é um objeto: { ... })";
    } else if (what.starts_with("file larger than"))
        meaning = "o arquivo passa de 1 MiB";
    else
        meaning = "não é um JSON válido";
    return where.empty() ? meaning : meaning + ", " + where;
}

}  // namespace tolvexctl
