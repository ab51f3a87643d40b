#include "process.hpp"

#include <utility>

#include "process_child.hpp"

namespace tolvexctl {

AgentProcess::AgentProcess(std::unique_ptr<AgentChild> child) : child_(std::move(child)) {}
AgentProcess::AgentProcess(AgentProcess&&) noexcept = default;
AgentProcess& AgentProcess::operator=(AgentProcess&&) noexcept = default;
AgentProcess::~AgentProcess() {
    if (child_)
        wait();
}

std::expected<AgentProcess, std::string> AgentProcess::start(const std::filesystem::path& program,
                                                             const std::vector<std::string>& args,
                                                             bool show_stderr) {
    auto child = spawn_agent(program, args, show_stderr);
    if (!child)
        return std::unexpected(std::move(child.error()));
    return AgentProcess(std::move(*child));
}

std::expected<void, std::string> AgentProcess::write_all(std::string_view bytes) {
    while (!bytes.empty()) {
        auto n = child_->write_some(bytes);
        if (!n)
            return std::unexpected(std::move(n.error()));
        bytes.remove_prefix(*n);
    }
    return {};
}

std::expected<std::string, std::string> AgentProcess::read_exact(std::size_t count,
                                                                 std::size_t& got) {
    std::string buf(count, '\0');
    got = 0;
    while (got < count) {
        auto n = child_->read_some(buf.data() + got, count - got);
        if (!n)
            return std::unexpected(std::move(n.error()));
        if (*n == 0)
            return std::unexpected(std::string("o agente encerrou a saída"));
        got += *n;
    }
    return buf;
}

void AgentProcess::close_input() {
    child_->close_input();
}

int AgentProcess::wait() {
    if (!child_)
        return -1;
    close_input();
    if (!reaped_) {
        status_ = child_->wait();
        reaped_ = true;
    }
    return status_;
}

}  // namespace tolvexctl
