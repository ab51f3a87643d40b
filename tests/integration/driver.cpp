#include "driver.hpp"

#include "tolvex/core/base64.hpp"
#include "tolvex/core/cert.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

agent_client::LaunchOptions launch_options(const AgentOptions& options) {
    std::vector<std::string> command =
        options.agent ? std::vector<std::string>{*options.agent} : agent_command();
    agent_client::LaunchOptions launch;
    launch.program = command.front();
    launch.arguments.assign(command.begin() + 1, command.end());
    launch.arguments.insert(launch.arguments.end(), options.args.begin(), options.args.end());
    launch.search_path = true;  // "wine"
    launch.environment = child_environment(options.env);
    if (options.working_directory)
        launch.working_directory = *options.working_directory;
    launch.closed_descriptors = options.closed_descriptors;
    return launch;
}

AgentProcess start(const agent_client::LaunchOptions& launch) {
    auto agent = AgentProcess::start(launch);
    if (!agent)
        throw std::runtime_error(agent.error());
    return std::move(*agent);
}

// The bodies of the complete frames in what the agent wrote.
std::vector<std::string> split_frames(std::string_view rest) {
    std::vector<std::string> out;
    while (rest.size() >= framing::LENGTH_BYTES) {
        const std::uint32_t n =
            framing::decode_length(std::span<const char, framing::LENGTH_BYTES>(rest.data(), 4));
        if (rest.size() - framing::LENGTH_BYTES < n)
            break;
        out.emplace_back(rest.substr(framing::LENGTH_BYTES, n));
        rest.remove_prefix(framing::LENGTH_BYTES + n);
    }
    return out;
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

std::string b64(const std::vector<std::uint8_t>& bytes) {
    return core::base64_encode(bytes);
}

std::vector<std::uint8_t> unb64(const std::string& text) {
    auto bytes = core::base64_decode(text);
    if (!bytes)
        throw std::runtime_error("bad base64 from the agent");
    return *bytes;
}

std::string thumbprint_of(const std::vector<std::uint8_t>& der) {
    return core::compute_thumbprint(der);
}

std::string frames(const std::vector<std::string>& bodies) {
    std::string out;
    for (const auto& body : bodies)
        out += frame(body);
    return out;
}

// Writes the input while it reads both outputs, so neither side waits on a
// full pipe, until the agent has closed its outputs or the time is up.
AgentRun run_agent(const std::string& input, const AgentOptions& options) {
    agent_client::LaunchOptions launch = launch_options(options);
    launch.error_output = agent_client::ErrorOutput::Pipe;
    AgentProcess agent = start(launch);
    const int in_fd = agent.input_fd();
    int flags = ::fcntl(in_fd, F_GETFL);
    if (flags < 0 || ::fcntl(in_fd, F_SETFL, flags | O_NONBLOCK) != 0)
        fail("fcntl");

    AgentRun run;
    std::size_t written = 0;
    bool writing = true;
    if (input.empty()) {
        agent.close_input();
        writing = false;
    }
    bool out_open = true;
    bool err_open = true;
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    bool killed = false;
    auto kill_deadline = deadline;
    char buffer[65536];

    while (out_open || err_open) {
        pollfd fds[3];
        nfds_t count = 0;
        int out_index = -1, err_index = -1, in_index = -1;
        if (out_open) {
            out_index = static_cast<int>(count);
            fds[count++] = {agent.output_fd(), POLLIN, 0};
        }
        if (err_open) {
            err_index = static_cast<int>(count);
            fds[count++] = {agent.error_fd(), POLLIN, 0};
        }
        if (writing) {
            in_index = static_cast<int>(count);
            fds[count++] = {in_fd, POLLOUT, 0};
        }
        auto now = std::chrono::steady_clock::now();
        if (!killed && now >= deadline) {
            // Not kill(): that waits, and a grandchild (Wine) may still hold
            // the pipes.
            ::kill(static_cast<pid_t>(agent.pid()), SIGKILL);
            killed = true;
            run.timed_out = true;
            // Whatever still holds the pipes gets a moment to let go.
            kill_deadline = now + std::chrono::seconds(2);
            agent.close_input();
            writing = false;
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
        auto drain = [&](int index, bool& open, std::string& sink) {
            if (index < 0 || (fds[index].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                return;
            ssize_t n = ::read(fds[index].fd, buffer, sizeof buffer);
            if (n > 0) {
                sink.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                open = false;
            }
        };
        drain(out_index, out_open, run.stdout_bytes);
        drain(err_index, err_open, run.stderr_text);
        if (in_index >= 0 && fds[in_index].revents != 0) {
            bool done = (fds[in_index].revents & (POLLERR | POLLHUP)) != 0;
            if (!done) {
                ssize_t n = ::write(in_fd, input.data() + written,
                                    std::min<std::size_t>(input.size() - written, 65536));
                if (n > 0) {
                    written += static_cast<std::size_t>(n);
                    done = written == input.size();
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    done = true;  // EPIPE: the agent stopped reading
                }
            }
            if (done) {
                agent.close_input();
                writing = false;
            }
        }
    }
    agent.close_input();

    std::optional<int> status;
    if (!killed) {
        // Output closed; the process should be gone or about to be.
        status = agent.wait_for(options.timeout);
        if (!status)
            run.timed_out = true;
    }
    if (!status) {
        agent.kill();
        killed = true;
    }
    if (!killed)
        run.exit_status = *status;
    run.responses = split_frames(run.stdout_bytes);
    return run;
}

AgentRun run_requests(const std::vector<std::string>& bodies, const AgentOptions& options) {
    return run_agent(frames(bodies), options);
}

AgentProcess start_agent(const AgentOptions& options, const std::string& stderr_file) {
    agent_client::LaunchOptions launch = launch_options(options);
    launch.error_output = agent_client::ErrorOutput::File;
    launch.error_file = stderr_file;
    return start(launch);
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
