#include "tolvex/agent_client/agent_process.hpp"

#include <utility>

#include "child.hpp"

namespace tolvex::agent_client {

AgentProcess::Child::~Child() {
    close(input);
    close(output);
    close(error);
    release();
}

std::optional<int> AgentProcess::Child::wait(std::optional<std::chrono::milliseconds> timeout) {
    if (!status)
        status = wait_process(timeout);
    return status;
}

void AgentProcess::Child::kill() {
    if (!status) {
        kill_process();
        wait(std::nullopt);
        status = -1;
    }
}

void AgentProcess::Child::close(int& fd) {
    if (fd >= 0)
        close_descriptor(std::exchange(fd, -1));
}

AgentProcess::AgentProcess(std::unique_ptr<Child> child) : child_(std::move(child)) {}
AgentProcess::AgentProcess(AgentProcess&&) noexcept = default;
AgentProcess& AgentProcess::operator=(AgentProcess&& other) noexcept {
    if (this != &other) {
        if (child_)
            finish();
        child_ = std::move(other.child_);
    }
    return *this;
}
AgentProcess::~AgentProcess() {
    if (child_)
        finish();
}

std::expected<AgentProcess, std::string> AgentProcess::start(const LaunchOptions& options) {
    auto child = spawn(options);
    if (!child)
        return std::unexpected(std::move(child.error()));
    return AgentProcess(std::move(*child));
}

std::expected<void, framing::FrameError> AgentProcess::send(std::string_view body) {
    framing::FdStream input(child_->input);
    return framing::write_frame(input, body);
}

std::expected<std::string, framing::FrameError> AgentProcess::receive() {
    framing::FdStream output(child_->output);
    return framing::read_frame(output);
}

std::expected<std::string, framing::FrameError> AgentProcess::exchange(std::string_view body) {
    if (auto sent = send(body); !sent)
        return std::unexpected(std::move(sent.error()));
    return receive();
}

int AgentProcess::input_fd() const {
    return child_->input;
}
int AgentProcess::output_fd() const {
    return child_->output;
}
int AgentProcess::error_fd() const {
    return child_->error;
}
void AgentProcess::close_input() {
    Child::close(child_->input);
}

long AgentProcess::pid() const {
    return child_->id;
}

int AgentProcess::finish() {
    close_input();
    const int status = *child_->wait(std::nullopt);
    Child::close(child_->output);
    Child::close(child_->error);
    return status;
}

std::optional<int> AgentProcess::wait_for(std::chrono::milliseconds timeout) {
    return child_->wait(timeout);
}

void AgentProcess::kill() {
    child_->kill();
}

int AgentProcess::abandon(std::chrono::milliseconds grace) {
    close_input();
    Child::close(child_->output);
    if (auto status = child_->wait(grace))
        return *status;
    kill();
    return -1;
}

std::optional<ResourceUsage> AgentProcess::usage() const {
    return child_->usage;
}

}  // namespace tolvex::agent_client
