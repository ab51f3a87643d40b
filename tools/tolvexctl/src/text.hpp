#pragma once

// Paths as UTF-8 text both ways, whatever the platform's narrow encoding is:
// the command line and every message of tolvexctl are UTF-8.

#include <filesystem>
#include <string>
#include <string_view>

namespace tolvexctl {

inline std::string utf8(const std::filesystem::path& path) {
    const auto u8 = path.u8string();
    return std::string(u8.begin(), u8.end());
}

inline std::filesystem::path path_from_utf8(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

}  // namespace tolvexctl
