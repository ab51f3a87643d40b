#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "child.hpp"

extern char** environ;

namespace tolvex::agent_client {

void AgentProcess::Child::release() {}

void AgentProcess::Child::close_descriptor(int fd) {
    ::close(fd);
}

std::optional<int> AgentProcess::Child::wait_process(
    std::optional<std::chrono::milliseconds> timeout) {
    const auto pid = static_cast<pid_t>(process);
    const auto deadline =
        std::chrono::steady_clock::now() + timeout.value_or(std::chrono::milliseconds(0));
    int st = 0;
    for (;;) {
        struct rusage ru {};
        const pid_t done = ::wait4(pid, &st, timeout ? WNOHANG : 0, &ru);
        if (done == pid) {
            using std::chrono::microseconds, std::chrono::seconds;
            usage = ResourceUsage{seconds(ru.ru_utime.tv_sec) + microseconds(ru.ru_utime.tv_usec),
                                  seconds(ru.ru_stime.tv_sec) + microseconds(ru.ru_stime.tv_usec),
                                  ru.ru_maxrss};  // KiB on Linux
            return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        }
        if (done < 0 && errno != EINTR)
            return -1;  // not our child any more: nothing to wait for
        if (done == 0) {
            if (std::chrono::steady_clock::now() >= deadline)
                return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

void AgentProcess::Child::kill_process() {
    ::kill(static_cast<pid_t>(process), SIGKILL);
}

namespace {

// Both ends close on exec: the child gets its own through dup2 alone.
std::expected<std::pair<int, int>, std::string> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return std::unexpected(std::string("pipe: ") + std::strerror(errno));
    return std::pair{fds[0], fds[1]};
}

// Starts the agent with `theirs` (its stdin, stdout and, for a pipe, stderr)
// as its standard streams; `child` gets our ends.
std::expected<void, std::string> start(const LaunchOptions& options, AgentProcess::Child& child,
                                       int (&theirs)[3]) {
    auto in = make_pipe();
    if (!in)
        return std::unexpected(in.error());
    theirs[0] = in->first;
    child.input = in->second;
    auto out = make_pipe();
    if (!out)
        return std::unexpected(out.error());
    child.output = out->first;
    theirs[1] = out->second;
    if (options.error_output == ErrorOutput::Pipe) {
        auto err = make_pipe();
        if (!err)
            return std::unexpected(err.error());
        child.error = err->first;
        theirs[2] = err->second;
    }

    std::vector<std::string> argv_strings{options.program.string()};
    argv_strings.insert(argv_strings.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& s : argv_strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_strings = options.environment.value_or(std::vector<std::string>{});
    std::vector<char*> envp;
    for (auto& s : env_strings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    char** env = options.environment ? envp.data() : environ;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs[0], 0);
    posix_spawn_file_actions_adddup2(&actions, theirs[1], 1);
    switch (options.error_output) {
        case ErrorOutput::Inherit:
            break;
        case ErrorOutput::Discard:
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
            break;
        case ErrorOutput::File:
            posix_spawn_file_actions_addopen(&actions, 2, options.error_file.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
            break;
        case ErrorOutput::Pipe:
            posix_spawn_file_actions_adddup2(&actions, theirs[2], 2);
            break;
    }
    for (int fd : options.closed_descriptors)
        posix_spawn_file_actions_addclose(&actions, fd);
    if (options.working_directory) {
        posix_spawn_file_actions_addchdir_np(&actions, options.working_directory->c_str());
    }
    pid_t pid = -1;
    const int rc = options.search_path
                       ? ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env)
                       : ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return std::unexpected("não foi possível iniciar o agente " + argv_strings[0] + ": " +
                               std::strerror(rc));
    }
    child.process = pid;
    child.id = pid;
    return {};
}

}  // namespace

std::expected<std::unique_ptr<AgentProcess::Child>, std::string> spawn(
    const LaunchOptions& options) {
    ::signal(SIGPIPE, SIG_IGN);
    auto child = std::make_unique<AgentProcess::Child>();
    int theirs[3] = {-1, -1, -1};
    auto started = start(options, *child, theirs);
    for (int& fd : theirs)
        AgentProcess::Child::close(fd);
    if (!started)
        return std::unexpected(std::move(started.error()));
    return child;
}

}  // namespace tolvex::agent_client
