#include "process.hpp"

namespace tolvexctl {

std::optional<std::filesystem::path> own_directory() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::nullopt;
    return exe.parent_path();
}

std::string_view agent_file_name() {
    return "tolvex_agent";
}

// POSIX arguments are bytes; tolvexctl takes them as UTF-8 as they come.
std::vector<std::string> utf8_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

void prepare_console() {}

}  // namespace tolvexctl
