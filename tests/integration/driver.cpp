#include "driver.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

extern char** environ;

namespace tolvex::testing {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Closes a descriptor when it goes out of scope; -1 means none.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    Fd read_end;
    Fd write_end;
};

Pipe make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        fail("pipe2");
    Pipe p;
    p.read_end = Fd(fds[0]);
    p.write_end = Fd(fds[1]);
    return p;
}

void set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        fail("fcntl");
}

std::vector<std::string> split_spaces(std::string_view text) {
    std::vector<std::string> out;
    std::string piece;
    for (char c : text) {
        if (c == ' ') {
            if (!piece.empty())
                out.push_back(std::move(piece));
            piece.clear();
        } else {
            piece.push_back(c);
        }
    }
    if (!piece.empty())
        out.push_back(std::move(piece));
    return out;
}

bool removed_from_child_env(std::string_view entry) {
    auto name = entry.substr(0, entry.find('='));
    return name.starts_with("TOLVEX_") || name == "APPDATA";
}

std::vector<std::string> child_environment(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view entry(*e);
        if (removed_from_child_env(entry))
            continue;
        auto name = std::string(entry.substr(0, entry.find('=')));
        if (extra.contains(name))
            continue;
        env.emplace_back(entry);
    }
    for (const auto& [name, value] : extra)
        env.push_back(name + "=" + value);
    return env;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

void split_frames(AgentRun& run) {
    std::string_view rest = run.stdout_bytes;
    while (rest.size() >= 4) {
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i)
            n = (n << 8) | static_cast<unsigned char>(rest[i]);
        if (rest.size() - 4 < n)
            break;
        run.responses.emplace_back(rest.substr(4, n));
        rest.remove_prefix(4 + n);
    }
}

}  // namespace

std::vector<std::string> agent_command() {
    if (const char* command = std::getenv("TOLVEX_AGENT_COMMAND"); command && *command) {
        return split_spaces(command);
    }
    return {TOLVEX_AGENT_PATH};
}

bool agent_is_windows() {
    const char* platform = std::getenv("TOLVEX_AGENT_PLATFORM");
    return platform != nullptr && std::string_view(platform) == "windows";
}

std::string frame(std::string_view body) {
    auto n = static_cast<std::uint32_t>(body.size());
    std::string out;
    out.reserve(body.size() + 4);
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
    out.append(body);
    return out;
}

std::string frames(const std::vector<std::string>& bodies) {
    std::string out;
    for (const auto& body : bodies)
        out += frame(body);
    return out;
}

AgentRun run_agent(const std::string& input, const AgentOptions& options) {
    // A child that stops reading must not kill the test with SIGPIPE.
    static const bool sigpipe_ignored = [] {
        ::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)sigpipe_ignored;

    std::vector<std::string> argv_strings = agent_command();
    argv_strings.insert(argv_strings.end(), options.args.begin(), options.args.end());
    std::vector<std::string> env_strings = child_environment(options.env);
    auto argv = c_strings(argv_strings);
    auto envp = c_strings(env_strings);

    Pipe in = make_pipe();
    Pipe out = make_pipe();
    Pipe err = make_pipe();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.read_end.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, out.write_end.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.write_end.get(), 2);
    for (int fd : options.closed_descriptors)
        posix_spawn_file_actions_addclose(&actions, fd);
    if (options.working_directory) {
        posix_spawn_file_actions_addchdir_np(&actions, options.working_directory->c_str());
    }
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        fail("posix_spawnp " + argv_strings[0]);
    }
    in.read_end.reset();
    out.write_end.reset();
    err.write_end.reset();
    set_nonblocking(in.write_end.get());

    AgentRun run;
    std::size_t written = 0;
    if (input.empty())
        in.write_end.reset();
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    bool killed = false;
    auto kill_deadline = deadline;
    char buffer[65536];

    while (out.read_end.get() >= 0 || err.read_end.get() >= 0) {
        pollfd fds[3];
        nfds_t count = 0;
        int out_index = -1, err_index = -1, in_index = -1;
        if (out.read_end.get() >= 0) {
            out_index = static_cast<int>(count);
            fds[count++] = {out.read_end.get(), POLLIN, 0};
        }
        if (err.read_end.get() >= 0) {
            err_index = static_cast<int>(count);
            fds[count++] = {err.read_end.get(), POLLIN, 0};
        }
        if (in.write_end.get() >= 0) {
            in_index = static_cast<int>(count);
            fds[count++] = {in.write_end.get(), POLLOUT, 0};
        }
        auto now = std::chrono::steady_clock::now();
        if (!killed && now >= deadline) {
            ::kill(pid, SIGKILL);
            killed = true;
            run.timed_out = true;
            // Whatever still holds the pipes gets a moment to let go.
            kill_deadline = now + std::chrono::seconds(2);
            in.write_end.reset();
            continue;
        }
        if (killed && now >= kill_deadline)
            break;
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                        (killed ? kill_deadline : deadline) - now)
                        .count();
        int ready = ::poll(fds, count, static_cast<int>(std::max<long long>(wait, 1)));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            fail("poll");
        }
        auto drain = [&](int index, Fd& fd, std::string& sink) {
            if (index < 0 || (fds[index].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                return;
            ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
            if (n > 0) {
                sink.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                fd.reset();
            }
        };
        drain(out_index, out.read_end, run.stdout_bytes);
        drain(err_index, err.read_end, run.stderr_text);
        if (in_index >= 0 && fds[in_index].revents != 0) {
            if (fds[in_index].revents & (POLLERR | POLLHUP)) {
                in.write_end.reset();
            } else {
                ssize_t n = ::write(in.write_end.get(), input.data() + written,
                                    std::min<std::size_t>(input.size() - written, 65536));
                if (n > 0) {
                    written += static_cast<std::size_t>(n);
                    if (written == input.size())
                        in.write_end.reset();
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    in.write_end.reset();  // EPIPE: the agent stopped reading
                }
            }
        }
    }
    in.write_end.reset();

    int status = 0;
    if (!killed) {
        // Output closed; the process should be gone or about to be.
        const auto reap_deadline = std::chrono::steady_clock::now() + options.timeout;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= reap_deadline) {
                ::kill(pid, SIGKILL);
                killed = true;
                run.timed_out = true;
                break;
            }
            ::usleep(2000);
        }
    }
    if (killed) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (!killed && WIFEXITED(status))
        run.exit_status = WEXITSTATUS(status);
    split_frames(run);
    return run;
}

AgentRun run_requests(const std::vector<std::string>& bodies, const AgentOptions& options) {
    return run_agent(frames(bodies), options);
}

AgentProcess::AgentProcess(const AgentOptions& options, const std::string& stderr_file) {
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> argv_strings = agent_command();
    argv_strings.insert(argv_strings.end(), options.args.begin(), options.args.end());
    std::vector<std::string> env_strings = child_environment(options.env);
    auto argv = c_strings(argv_strings);
    auto envp = c_strings(env_strings);
    Pipe in = make_pipe();
    Pipe out = make_pipe();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.read_end.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, out.write_end.get(), 1);
    posix_spawn_file_actions_addopen(&actions, 2, stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        fail("posix_spawnp " + argv_strings[0]);
    }
    pid_ = pid;
    to_agent_ = in.write_end.release();
    from_agent_ = out.read_end.release();
}

AgentProcess::~AgentProcess() {
    finish();
}

bool AgentProcess::send(std::string_view body) {
    if (to_agent_ < 0)
        return false;
    std::string bytes = frame(body);
    std::string_view rest = bytes;
    while (!rest.empty()) {
        const ssize_t n = ::write(to_agent_, rest.data(), rest.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

int AgentProcess::abandon(std::chrono::milliseconds grace) {
    if (status_ || pid_ <= 0)
        return status_.value_or(-1);
    ::close(std::exchange(to_agent_, -1));
    ::close(std::exchange(from_agent_, -1));
    const auto deadline = std::chrono::steady_clock::now() + grace;
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        ::usleep(10000);
    if (done == 0) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = -1;
    } else {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return *status_;
}

std::optional<std::string> AgentProcess::exchange(std::string_view body) {
    auto read_all = [&](char* p, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::read(from_agent_, p, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            p += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    };
    if (!send(body))
        return std::nullopt;
    unsigned char header[4];
    if (!read_all(reinterpret_cast<char*>(header), 4))
        return std::nullopt;
    const std::uint32_t n = header[0] | (header[1] << 8) | (header[2] << 16) |
                            (static_cast<std::uint32_t>(header[3]) << 24);
    std::string response(n, '\0');
    if (!read_all(response.data(), n))
        return std::nullopt;
    return response;
}

int AgentProcess::finish() {
    if (!status_ && pid_ > 0) {
        if (to_agent_ >= 0)
            ::close(std::exchange(to_agent_, -1));
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        if (from_agent_ >= 0)
            ::close(std::exchange(from_agent_, -1));
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return status_.value_or(-1);
}

TempDir::TempDir() {
    std::string base = (std::filesystem::temp_directory_path() / "tolvex-test-XXXXXX").string();
    if (::mkdtemp(base.data()) == nullptr)
        fail("mkdtemp");
    path_ = base;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(std::string_view name, std::string_view content) const {
    auto target = std::filesystem::path(file(name));
    std::filesystem::create_directories(target.parent_path());
    std::ofstream stream(target, std::ios::binary | std::ios::trunc);
    stream.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!stream)
        throw std::runtime_error("cannot write " + target.string());
}

std::string read_file(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
        return {};
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

}  // namespace tolvex::testing
