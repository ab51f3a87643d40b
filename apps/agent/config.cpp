#include "config.hpp"

#include <algorithm>
#include <array>
#include <system_error>

#include <fmt/format.h>

#include "json_reader.hpp"
#include "platform.hpp"
#include "tolvex/core/text.hpp"

namespace tolvex::agent {

namespace {

using json_reader::Field;
using json_reader::Presence;
using json_reader::Shape;
using json_reader::StringValue;

// The file's record: an object with two optional keys, or an array in field
// order whose missing trailing elements take their defaults.
constexpr Field<AgentConfig> kFields[] = {
    {{"pkcs11_modules", Shape::StringList, Presence::Default, "path string"},
     [](AgentConfig& config, StringValue path) -> std::optional<std::string> {
         config.pkcs11_modules.push_back(path_from_utf8(path.text));
         return std::nullopt;
     }},
    {{"log_file", Shape::String, Presence::Optional, "path string"},
     [](AgentConfig& config, StringValue path) -> std::optional<std::string> {
         config.log_file = path_from_utf8(path.text);
         return std::nullopt;
     }},
};
constexpr json_reader::Schema<AgentConfig> kSchema{"AgentConfig", kFields, /*short_arrays=*/true};
constexpr std::size_t kMaxConfigBytes = std::size_t{1} << 20;

enum class ReadFailure { unreadable, too_large };

std::expected<std::string, ReadFailure> read_regular_file(const std::filesystem::path& path,
                                                          std::size_t limit) {
    const int fd = platform::open_regular_file(path);
    if (fd < 0)
        return std::unexpected(ReadFailure::unreadable);
    std::expected<std::string, ReadFailure> result;
    std::string content;
    // One byte past the limit tells a file that is too large from one that
    // fits exactly, without reading the rest of it.
    std::array<char, 8192> chunk;
    for (;;) {
        const std::size_t want = std::min(chunk.size(), limit + 1 - content.size());
        auto n = platform::read_fd(fd, chunk.data(), want);
        if (!n) {
            result = std::unexpected(ReadFailure::unreadable);
            break;
        }
        if (*n == 0) {
            result = std::move(content);
            break;
        }
        content.append(chunk.data(), *n);
        if (content.size() > limit) {
            result = std::unexpected(ReadFailure::too_large);
            break;
        }
    }
    platform::close_fd(fd);
    return result;
}

void report_to_stderr(const std::string& line) {
    std::string_view rest = line;
    while (!rest.empty()) {
        auto n = platform::write_fd(2, rest.data(), rest.size());
        if (!n || *n == 0)
            return;
        rest.remove_prefix(*n);
    }
}

}  // namespace

std::filesystem::path path_from_utf8(std::string_view text) {
    std::u8string utf8(text.begin(), text.end());
    return std::filesystem::path(utf8);
}

std::optional<std::filesystem::path> config_path() {
    if (auto explicit_path = platform::read_env("TOLVEX_AGENT_CONFIG")) {
        return std::filesystem::path(explicit_path->native);
    }
    return platform::default_config_path();
}

std::expected<AgentConfig, std::string> parse_config(std::string_view text) {
    return json_reader::read_record(text, kSchema);
}

std::expected<std::optional<AgentConfig>, std::string> read_config(
    const std::optional<std::filesystem::path>& path) {
    if (!path)
        return std::nullopt;
    auto text = read_regular_file(*path, kMaxConfigBytes);
    if (!text && text.error() == ReadFailure::too_large) {
        // A configuration holds a few paths; a file this large is a mistake
        // (or a device), and reading it whole would cost its size in memory.
        return std::unexpected(fmt::format("file larger than {} bytes", kMaxConfigBytes));
    }
    if (!text || !core::is_valid_utf8(*text))
        return std::nullopt;
    auto config = parse_config(*text);
    if (!config)
        return std::unexpected(std::move(config.error()));
    return std::move(*config);
}

AgentConfig load_config(const std::optional<std::filesystem::path>& path) {
    auto config = read_config(path);
    if (!config) {
        // The logger does not exist yet (its file comes from this very
        // configuration), so this goes straight to standard error.
        report_to_stderr(fmt::format("configuração inválida em {}: {}\n",
                                     platform::display_path(*path), config.error()));
        return {};
    }
    return config->value_or(AgentConfig{});
}

std::vector<std::filesystem::path> module_paths(const AgentConfig& config) {
    if (auto list = platform::read_env("TOLVEX_PKCS11_MODULES")) {
        using Char = std::filesystem::path::value_type;
        std::vector<std::filesystem::path> paths;
        for (auto& piece : split_path_list(std::basic_string_view<Char>(list->native))) {
            paths.emplace_back(std::move(piece));
        }
        return paths;
    }
    if (!config.pkcs11_modules.empty())
        return config.pkcs11_modules;
    std::vector<std::filesystem::path> paths;
    for (auto& candidate : platform::default_module_candidates()) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec))
            paths.push_back(std::move(candidate));
    }
    return paths;
}

}  // namespace tolvex::agent
