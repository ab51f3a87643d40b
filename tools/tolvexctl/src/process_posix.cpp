#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "process.hpp"
#include "process_child.hpp"

namespace tolvexctl {

namespace {

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    int get() const { return fd_; }

  private:
    int fd_ = -1;
};

std::string errno_text(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

class PosixChild final : public AgentChild {
  public:
    PosixChild(pid_t pid, Fd to_child, Fd from_child)
        : pid_(pid), to_child_(std::move(to_child)), from_child_(std::move(from_child)) {}

    std::expected<std::size_t, std::string> write_some(std::string_view bytes) override {
        for (;;) {
            const ssize_t n = ::write(to_child_.get(), bytes.data(), bytes.size());
            if (n >= 0)
                return static_cast<std::size_t>(n);
            if (errno != EINTR)
                return std::unexpected(errno_text("escrita para o agente"));
        }
    }

    std::expected<std::size_t, std::string> read_some(char* out, std::size_t size) override {
        for (;;) {
            const ssize_t n = ::read(from_child_.get(), out, size);
            if (n >= 0)
                return static_cast<std::size_t>(n);
            if (errno != EINTR)
                return std::unexpected(errno_text("leitura do agente"));
        }
    }

    void close_input() override { to_child_.reset(); }

    int wait() override {
        int st = 0;
        pid_t r;
        do {
            r = ::waitpid(pid_, &st, 0);
        } while (r < 0 && errno == EINTR);
        from_child_.reset();
        return (r == pid_ && WIFEXITED(st)) ? WEXITSTATUS(st) : -1;
    }

  private:
    pid_t pid_;
    Fd to_child_;
    Fd from_child_;
};

}  // namespace

std::expected<std::unique_ptr<AgentChild>, std::string> spawn_agent(
    const std::filesystem::path& program, const std::vector<std::string>& args, bool show_stderr) {
    // A closed pipe must be an error value on write, not a signal that ends us.
    ::signal(SIGPIPE, SIG_IGN);
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return std::unexpected(errno_text("pipe"));
    Fd in_r(in[0]), in_w(in[1]);
    if (::pipe2(out, O_CLOEXEC) != 0)
        return std::unexpected(errno_text("pipe"));
    Fd out_r(out[0]), out_w(out[1]);
    // A pipe that reports whether exec succeeded: it closes on exec, or
    // carries errno when exec failed.
    int ex[2];
    if (::pipe2(ex, O_CLOEXEC) != 0)
        return std::unexpected(errno_text("pipe"));
    Fd ex_r(ex[0]), ex_w(ex[1]);

    const std::string path = program.string();
    std::vector<std::string> storage;
    storage.push_back(path);
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0)
        return std::unexpected(errno_text("fork"));
    if (pid == 0) {
        ::dup2(in_r.get(), 0);
        ::dup2(out_w.get(), 1);
        if (!show_stderr) {
            const int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0)
                ::dup2(null, 2);
        }
        ::execv(path.c_str(), argv.data());
        const int e = errno;
        [[maybe_unused]] auto n = ::write(ex_w.get(), &e, sizeof e);
        ::_exit(127);
    }
    ex_w.reset();
    in_r.reset();
    out_w.reset();
    auto child = std::make_unique<PosixChild>(pid, std::move(in_w), std::move(out_r));
    int child_errno = 0;
    ssize_t n;
    do {
        n = ::read(ex_r.get(), &child_errno, sizeof child_errno);
    } while (n < 0 && errno == EINTR);
    if (n == sizeof child_errno) {
        child->close_input();
        child->wait();
        return std::unexpected("não foi possível iniciar o agente " + path + ": " +
                               std::strerror(child_errno));
    }
    return child;
}

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
