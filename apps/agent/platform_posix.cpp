#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "platform.hpp"
#include "tolvex/core/text.hpp"

namespace tolvex::agent::platform {

namespace {

std::string error_text(int error) {
    return fmt::format("{} (os error {})", std::strerror(error), error);
}

// Invalid bytes become U+FFFD so the text can be logged.
std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    while (!bytes.empty()) {
        std::size_t take = 1;
        auto lead = static_cast<unsigned char>(bytes[0]);
        if (lead >= 0xC0)
            take = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (take <= bytes.size() && core::is_valid_utf8(bytes.substr(0, take))) {
            out.append(bytes.substr(0, take));
            bytes.remove_prefix(take);
        } else if (lead < 0x80) {
            out.push_back(bytes[0]);
            bytes.remove_prefix(1);
        } else {
            out += "\xEF\xBF\xBD";
            bytes.remove_prefix(1);
        }
    }
    return out;
}

}  // namespace

void prepare_standard_streams() {
    ::signal(SIGPIPE, SIG_IGN);
}

std::expected<std::size_t, std::string> read_fd(int fd, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t n = ::read(fd, buffer, size);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno != EINTR)
            return std::unexpected(error_text(errno));
    }
}

std::expected<std::size_t, std::string> write_fd(int fd, const char* buffer, std::size_t size) {
    for (;;) {
        ssize_t n = ::write(fd, buffer, size);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno != EINTR)
            return std::unexpected(error_text(errno));
    }
}

std::optional<CallerOrigin> command_argument(int argc, char** argv, int index) {
    if (index < 0 || argc <= index || argv[index] == nullptr)
        return std::nullopt;
    std::string_view arg(argv[index]);
    if (core::is_valid_utf8(arg))
        return CallerOrigin{std::string(arg), true};
    return CallerOrigin{lossy_utf8(arg), false};
}

std::optional<EnvValue> read_env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr)
        return std::nullopt;
    EnvValue out{value, std::nullopt};
    if (core::is_valid_utf8(out.native))
        out.utf8 = out.native;
    return out;
}

void set_env(const char* name, const std::optional<std::string>& value) {
    if (value) {
        ::setenv(name, value->c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

std::optional<std::filesystem::path> default_config_path() {
    // APPDATA is honoured where it is set (as on Windows), then the XDG
    // configuration directory.
    std::filesystem::path base;
    if (auto appdata = read_env("APPDATA")) {
        return std::filesystem::path(appdata->native + "/TolvexSign/agent.json");
    }
    if (auto xdg = read_env("XDG_CONFIG_HOME"); xdg && !xdg->native.empty()) {
        base = xdg->native;
    } else if (auto home = read_env("HOME")) {
        base = std::filesystem::path(home->native) / ".config";
    } else {
        return std::nullopt;
    }
    return base / "TolvexSign" / "agent.json";
}

std::vector<std::filesystem::path> default_module_candidates() {
    return {
        "/usr/lib/libeTPkcs11.so",
        "/usr/lib/libaetpkss.so",
        "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so",
    };
}

std::string display_path(const std::filesystem::path& path) {
    return lossy_utf8(path.native());
}

int open_append_shared(const std::filesystem::path& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void close_fd(int fd) {
    ::close(fd);
}

}  // namespace tolvex::agent::platform
