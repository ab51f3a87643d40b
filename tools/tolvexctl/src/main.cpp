#include <iostream>
#include <string>
#include <vector>

#include "cli.hpp"
#include "commands.hpp"
#include "process.hpp"

int main(int argc, char** argv) {
    tolvexctl::prepare_console();
    const std::vector<std::string> args = tolvexctl::utf8_arguments(argc, argv);
    auto options = tolvexctl::parse_command_line(args);
    if (!options) {
        std::cerr << "tolvexctl: " << options.error() << "\n\n" << tolvexctl::usage_text();
        return tolvexctl::kExitUsage;
    }
    return tolvexctl::run(*options, std::cin, std::cout, std::cerr);
}
