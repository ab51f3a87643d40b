#include "config.hpp"

#include <system_error>

#include <fmt/format.h>

#include "json_reader.hpp"
#include "platform.hpp"
#include "tolvex/core/text.hpp"

namespace tolvex::agent {

namespace {

using json_reader::Json;

enum class Kind : std::uint8_t { Null, Scalar, String, Object, Array };
enum class Field : std::uint8_t { Modules, LogFile };
constexpr std::size_t kFieldCount = 2;
constexpr std::size_t kMaxConfigBytes = std::size_t{1} << 20;

// Reads an AgentConfig: an object with two optional keys, or an array in
// field order. Unknown keys are skipped by depth counting alone.
class ConfigReader : public json_reader::ReaderBase {
  public:
    using ReaderBase::ReaderBase;

    bool null() { return value(Kind::Null, "null", nullptr, consumed_); }
    bool boolean(bool v) {
        return value(Kind::Scalar, std::string(json_reader::found_boolean(v)), nullptr, consumed_);
    }
    bool number_integer(Json::number_integer_t v) {
        return skipping() ||
               value(Kind::Scalar, json_reader::found_integer(v), nullptr, number_end());
    }
    bool number_unsigned(Json::number_unsigned_t v) {
        return skipping() ||
               value(Kind::Scalar, json_reader::found_unsigned(v), nullptr, number_end());
    }
    bool number_float(Json::number_float_t v, const Json::string_t&) {
        return skipping() ||
               value(Kind::Scalar, json_reader::found_float(v), nullptr, number_end());
    }
    bool string(Json::string_t& v) { return skipping() || value(Kind::String, {}, &v, consumed_); }
    bool start_object(std::size_t) { return value(Kind::Object, "map", nullptr, consumed_); }
    bool start_array(std::size_t) { return value(Kind::Array, "sequence", nullptr, consumed_); }
    bool key(Json::string_t& name) {
        if (skipping())
            return true;
        std::optional<Field> field;
        if (name == "pkcs11_modules")
            field = Field::Modules;
        if (name == "log_file")
            field = Field::LogFile;
        if (field) {
            auto bit = static_cast<unsigned>(*field);
            if (seen_ & (1u << bit))
                return fail("duplicate field `" + name + "`", consumed_);
            seen_ |= 1u << bit;
        }
        pending_ = field;
        return true;
    }
    bool end_object() { return end(); }
    bool end_array() { return end(); }

    AgentConfig take() { return std::move(config_); }

  private:
    bool skipping() const { return skip_from_ > 0; }

    bool type_error(Kind kind, const std::string& found, std::string* text,
                    std::string_view expected, std::size_t at) {
        std::string what = kind == Kind::String ? json_reader::found_string(*text) : found;
        return fail("invalid type: " + what + ", expected " + std::string(expected), at);
    }

    bool value(Kind kind, std::string found, std::string* text, std::size_t at) {
        bool container = kind == Kind::Object || kind == Kind::Array;
        if (skipping()) {
            if (container)
                ++depth_;
            return true;
        }
        if (in_modules_) {
            if (kind != Kind::String)
                return type_error(kind, found, text, "path string", at);
            config_.pkcs11_modules.push_back(path_from_utf8(*text));
            return true;
        }
        if (depth_ == 0) {
            if (!container)
                return type_error(kind, found, text, "struct AgentConfig", at);
            array_form_ = kind == Kind::Array;
            depth_ = 1;
            return true;
        }
        std::optional<Field> field;
        if (array_form_) {
            if (elements_ < kFieldCount)
                field = static_cast<Field>(elements_);
            ++elements_;
        } else {
            field = std::exchange(pending_, std::nullopt);
        }
        if (!field) {
            if (container)
                skip_from_ = ++depth_;
            return true;
        }
        if (*field == Field::Modules) {
            if (kind != Kind::Array)
                return type_error(kind, found, text, "a sequence", at);
            in_modules_ = true;
            ++depth_;
            return true;
        }
        if (kind == Kind::Null)
            return true;
        if (kind != Kind::String)
            return type_error(kind, found, text, "path string", at);
        config_.log_file = path_from_utf8(*text);
        return true;
    }

    bool end() {
        if (skipping()) {
            if (--depth_ < skip_from_)
                skip_from_ = 0;
            return true;
        }
        if (in_modules_) {
            in_modules_ = false;
            --depth_;
            return true;
        }
        depth_ = 0;
        if (array_form_ && elements_ > kFieldCount) {
            return fail(
                fmt::format("invalid length {}, expected struct AgentConfig with 2 elements",
                            elements_),
                consumed_);
        }
        mark_complete();
        return true;
    }

    std::size_t depth_ = 0;
    std::size_t skip_from_ = 0;
    bool array_form_ = false;
    bool in_modules_ = false;
    std::size_t elements_ = 0;
    std::optional<Field> pending_;
    unsigned seen_ = 0;
    AgentConfig config_;
};

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
    ConfigReader reader(text);
    if (!json_reader::parse(text, reader))
        return std::unexpected(*reader.error());
    return reader.take();
}

AgentConfig load_config(const std::optional<std::filesystem::path>& path) {
    if (!path)
        return {};
    auto text = platform::read_regular_file(*path, kMaxConfigBytes);
    if (!text && text.error() == platform::ReadFailure::too_large) {
        // A configuration holds a few paths; a file this large is a mistake
        // (or a device), and reading it whole would cost its size in memory.
        report_to_stderr(fmt::format("configuração inválida em {}: file larger than {} bytes\n",
                                     platform::display_path(*path), kMaxConfigBytes));
        return {};
    }
    if (!text || !core::is_valid_utf8(*text))
        return {};
    auto config = parse_config(*text);
    if (!config) {
        // The logger does not exist yet (its file comes from this very
        // configuration), so this goes straight to standard error.
        report_to_stderr(fmt::format("configuração inválida em {}: {}\n",
                                     platform::display_path(*path), config.error()));
        return {};
    }
    return std::move(*config);
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
