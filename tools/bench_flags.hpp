#pragma once

// What the benchmark programs share: their command lines of "--name value"
// pairs and the median they report.

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex::bench {

// The values by name; nullopt for a name not among `names` or a name
// without its value.
inline std::optional<std::map<std::string, std::string, std::less<>>> parse_flags(
    int argc, char** argv, std::initializer_list<std::string_view> names) {
    std::map<std::string, std::string, std::less<>> flags;
    if (argc % 2 == 0)
        return std::nullopt;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        if (std::find(names.begin(), names.end(), name) == names.end())
            return std::nullopt;
        flags[std::string(name)] = argv[i + 1];
    }
    return flags;
}

// A count given as a flag, or the default; 0 when it is not a number.
inline int count_flag(const std::map<std::string, std::string, std::less<>>& flags,
                      std::string_view name, int fallback) {
    auto it = flags.find(name);
    return it == flags.end() ? fallback : std::atoi(it->second.c_str());
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace tolvex::bench
