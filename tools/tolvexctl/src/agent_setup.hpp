#pragma once

// What the agent will run with: its configuration file and its PKCS#11
// modules. Read with the agent's own configuration reader, so tolvexctl
// reaches the verdict the agent reaches, and can say so to a person: the
// agent itself only reports an invalid file on its standard error, which a
// browser never shows.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tolvexctl {

// A problem for people (`text`) and what the reader said (`detail`, may be
// empty), shown with --verbose.
struct Notice {
    std::string text;
    std::string detail;
};

enum class ModulesFrom { variable, file, defaults };

struct AgentSetup {
    std::optional<std::filesystem::path> config_file;  // where the agent looks
    bool config_read = false;                          // a valid file is there
    std::vector<Notice> problems;                      // the file is not used, and why
    std::vector<std::filesystem::path> modules;        // in the agent's order
    ModulesFrom modules_from = ModulesFrom::defaults;
};

// From this process's environment, which the agent it starts inherits.
AgentSetup inspect_agent_setup();

}  // namespace tolvexctl
