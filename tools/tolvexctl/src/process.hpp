#pragma once

// What tolvexctl needs of the platform besides the agent itself
// (process_posix.cpp, process_windows.cpp); the agent is started through
// tolvex/agent_client.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvexctl {

// The directory of the running executable, for the default agent path.
std::optional<std::filesystem::path> own_directory();

// The command line as UTF-8 texts, without the program name.
std::vector<std::string> utf8_arguments(int argc, char** argv);

// Lets a console show (and read) the UTF-8 text that tolvexctl uses.
void prepare_console();

// The agent's file name on this platform ("tolvex_agent" or
// "tolvex_agent.exe").
std::string_view agent_file_name();

}  // namespace tolvexctl
