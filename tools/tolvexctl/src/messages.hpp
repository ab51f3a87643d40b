#pragma once

// What tolvexctl tells a person: the agent's answers and warnings in plain
// Portuguese, without the protocol's codes or the modules' vocabulary. The
// raw texts stay available with --verbose and --json.

#include <filesystem>
#include <string>
#include <string_view>

namespace tolvexctl {

// An error answer of the agent, from its code and message.
std::string explain_error(std::string_view code, std::string_view message);

// Why a PKCS#11 module could not be used, from the failure text the agent
// puts in a warning ("libloading error (...)", "Function::Login: PKCS11
// error: PinIncorrect", ...). `module` is consulted to tell a missing file
// from a library that would not load.
std::string explain_module_failure(std::string_view text, const std::filesystem::path& module);

// What the agent's configuration reader found wrong with a file ("trailing
// comma at line 3 column 5", ...).
std::string explain_config_error(std::string_view reader_text);

}  // namespace tolvexctl
