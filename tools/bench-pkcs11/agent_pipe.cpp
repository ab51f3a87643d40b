#include "agent_pipe.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>

namespace tolvex::bench {
namespace {

bool write_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool read_all(int fd, char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t r = ::read(fd, p, n);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

}  // namespace

AgentPipe::AgentPipe(const std::vector<std::string>& command) {
    ::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (::pipe(in) != 0)
        return;
    if (::pipe(out) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::close(in[0]);
        ::close(in[1]);
        ::close(out[0]);
        ::close(out[1]);
        std::vector<char*> argv;
        for (const auto& a : command)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_agent_ = in[1];
    from_agent_ = out[0];
    if (pid_ < 0) {
        ::close(to_agent_);
        ::close(from_agent_);
        to_agent_ = from_agent_ = -1;
    }
}

AgentPipe::~AgentPipe() {
    if (to_agent_ >= 0)
        ::close(to_agent_);
    if (from_agent_ >= 0)
        ::close(from_agent_);
    if (pid_ > 0)
        ::waitpid(pid_, nullptr, 0);
}

bool AgentPipe::exchange(const std::string& request, std::string& response) {
    const auto n = static_cast<std::uint32_t>(request.size());
    const char header[4] = {static_cast<char>(n), static_cast<char>(n >> 8),
                            static_cast<char>(n >> 16), static_cast<char>(n >> 24)};
    if (!write_all(to_agent_, header, 4) || !write_all(to_agent_, request.data(), request.size()))
        return false;
    unsigned char len[4];
    if (!read_all(from_agent_, reinterpret_cast<char*>(len), 4))
        return false;
    const std::uint32_t m =
        len[0] | (len[1] << 8) | (len[2] << 16) | (static_cast<std::uint32_t>(len[3]) << 24);
    response.assign(m, '\0');
    return read_all(from_agent_, response.data(), m);
}

}  // namespace tolvex::bench
