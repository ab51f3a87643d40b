#include <iostream>
#include <string>
#include <vector>

#include "cli.hpp"
#include "commands.hpp"
#include "console.hpp"
#include "process.hpp"

int main(int argc, char** argv) {
    tolvexctl::prepare_console();
    const std::vector<std::string> args = tolvexctl::utf8_arguments(argc, argv);
    auto options = tolvexctl::parse_command_line(args);
    if (!options) {
        // One line: the help would bury it.
        std::cerr << "tolvexctl: " << options.error() << " (use --help)\n";
        return tolvexctl::kExitUsage;
    }
    tolvexctl::PinPrompt prompt;
    if (tolvexctl::input_is_terminal())
        prompt = [] { return tolvexctl::read_secret("PIN: "); };
    return tolvexctl::run(*options, std::cin, std::cout, std::cerr, prompt);
}
