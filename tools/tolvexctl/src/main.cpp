#include <iostream>
#include <string>
#include <vector>

#include "cli.hpp"
#include "commands.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    auto options = tolvexctl::parse_command_line(args);
    if (!options) {
        std::cerr << "tolvexctl: " << options.error() << "\n\n" << tolvexctl::usage_text();
        return tolvexctl::kExitUsage;
    }
    return tolvexctl::run(*options, std::cin, std::cout, std::cerr);
}
