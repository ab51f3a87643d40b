#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform.hpp"
#include "tolvex/core/text.hpp"

namespace tolvex::agent::platform {

std::optional<int> claim_frame_channel() {
    ::signal(SIGPIPE, SIG_IGN);
    bool output_closed = false;
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        output_closed = output_closed || fd == 1;
        // The lowest free descriptor, which is this one: the ones below are
        // open by now.
        int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
    if (output_closed)
        return std::nullopt;
    // Above the standard three and not inherited by anything we start.
    int channel = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (channel < 0 || ::dup2(2, 1) < 0)
        return std::nullopt;
    return channel;
}

void restrict_library_search() {
    // dlopen never searches the current directory for a name without a
    // slash; nothing to restrict.
}

ChannelWatch::ChannelWatch(int channel) : channel_(channel) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wake_[0] = fds[0];
        wake_[1] = fds[1];
    }
}

ChannelWatch::~ChannelWatch() {
    for (auto fd : wake_) {
        if (fd >= 0)
            ::close(static_cast<int>(fd));
    }
}

bool ChannelWatch::wait_gone(std::chrono::milliseconds timeout) {
    // No events asked for: a pipe's writing end reports POLLERR once its
    // reader has closed, a socket POLLHUP; a regular file never reports.
    pollfd fds[2] = {{channel_, 0, 0}, {static_cast<int>(wake_[0]), POLLIN, 0}};
    int ready = ::poll(fds, wake_[0] >= 0 ? 2 : 1, static_cast<int>(timeout.count()));
    if (ready <= 0)
        return false;
    if (fds[1].revents & POLLIN) {
        char drain[64];
        while (::read(static_cast<int>(wake_[0]), drain, sizeof drain) > 0) {
        }
    }
    return (fds[0].revents & (POLLERR | POLLHUP)) != 0;
}

void ChannelWatch::wake() {
    if (wake_[1] >= 0) {
        char byte = 1;
        [[maybe_unused]] auto n = ::write(static_cast<int>(wake_[1]), &byte, 1);
    }
}

void exit_now(int status) {
    ::_exit(status);
}

std::optional<CallerOrigin> command_argument(int argc, char** argv, int index) {
    if (index < 0 || argc <= index || argv[index] == nullptr)
        return std::nullopt;
    std::string_view arg(argv[index]);
    if (core::is_valid_utf8(arg))
        return CallerOrigin{std::string(arg), true};
    return CallerOrigin{core::to_utf8_lossy(arg), false};
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
    return core::to_utf8_lossy(path.native());
}

int open_regular_file(const std::filesystem::path& path) {
    int fd;
    do {
        // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
        // writer for ever.
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int open_append_shared(const std::filesystem::path& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISCHR(info.st_mode))) {
        // A FIFO with a reader opens at once, but whoever reads it decides
        // when the agent's log lines may go on.
        ::close(fd);
        return -1;
    }
    return fd;
}

void close_fd(int fd) {
    ::close(fd);
}

}  // namespace tolvex::agent::platform
