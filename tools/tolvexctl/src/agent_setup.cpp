#include "agent_setup.hpp"

#include <system_error>

#include "agent/config.hpp"
#include "agent/platform.hpp"
#include "messages.hpp"
#include "text.hpp"

namespace tolvexctl {

AgentSetup inspect_agent_setup() {
    namespace agent = tolvex::agent;
    AgentSetup setup;
    setup.config_file = agent::config_path();
    agent::AgentConfig config;
    auto read = agent::read_config(setup.config_file);
    const std::string shown = setup.config_file ? utf8(*setup.config_file) : std::string();
    if (!read) {
        setup.problems.push_back({"a configuração " + shown + " é inválida (" +
                                      explain_config_error(read.error()) +
                                      "); o agente a ignora por inteiro, módulos e log",
                                  read.error()});
    } else if (*read) {
        config = std::move(**read);
        setup.config_read = true;
    } else if (setup.config_file && !setup.config_file->empty()) {
        std::error_code ec;
        if (std::filesystem::exists(*setup.config_file, ec)) {
            setup.problems.push_back({"o agente ignora a configuração " + shown +
                                          ": não é um arquivo de texto UTF-8 que ele possa ler",
                                      {}});
        } else if (agent::platform::read_env("TOLVEX_AGENT_CONFIG")) {
            setup.problems.push_back(
                {"TOLVEX_AGENT_CONFIG indica " + shown +
                     ", que não existe; o agente segue sem arquivo de configuração",
                 {}});
        }
    }
    setup.modules = agent::module_paths(config);
    setup.modules_from = agent::platform::read_env("TOLVEX_PKCS11_MODULES") ? ModulesFrom::variable
                         : !config.pkcs11_modules.empty()                   ? ModulesFrom::file
                                                                            : ModulesFrom::defaults;
    return setup;
}

}  // namespace tolvexctl
