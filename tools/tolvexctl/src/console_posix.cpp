#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console.hpp"

namespace tolvexctl {

namespace {

// What the signal handler needs to give the terminal its echo back.
termios g_saved_mode;
volatile sig_atomic_t g_echo_off = 0;

constexpr int kRestoredSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void restore_and_reraise(int sig) {
    if (g_echo_off != 0)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void write_text(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

bool input_is_terminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

std::expected<std::string, std::string> read_secret(std::string_view prompt) {
    termios saved{};
    if (::tcgetattr(STDIN_FILENO, &saved) != 0)
        return std::unexpected("o terminal não pôde ser lido: " +
                               std::string(std::strerror(errno)));
    termios quiet = saved;
    // No echo, but the Enter still moves the cursor to the next line.
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;

    struct sigaction restore {};
    restore.sa_handler = restore_and_reraise;
    sigemptyset(&restore.sa_mask);
    struct sigaction previous[std::size(kRestoredSignals)];
    g_saved_mode = saved;
    for (std::size_t i = 0; i < std::size(kRestoredSignals); ++i)
        ::sigaction(kRestoredSignals[i], &restore, &previous[i]);

    // Echo off before the prompt shows: whatever is typed once it is there
    // must not appear.
    g_echo_off = 1;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    write_text(prompt);
    std::string line;
    line.reserve(256);  // a PIN grows it in place, leaving no copies behind
    bool ended = false;
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ended = true;
            break;
        }
        if (c == '\n')
            break;
        line.push_back(c);
    }
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    g_echo_off = 0;
    for (std::size_t i = 0; i < std::size(kRestoredSignals); ++i)
        ::sigaction(kRestoredSignals[i], &previous[i], nullptr);

    if (ended && line.empty()) {
        write_text("\n");
        return std::unexpected(std::string("nenhum PIN digitado"));
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

const PlatformHelp& platform_help() {
    static const PlatformHelp help{
        "~/.config/TolvexSign/agent.json",
        "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so",
        "TOLVEX_PKCS11_MODULES=/usr/lib/softhsm/libsofthsm2.so tolvexctl certificados",
    };
    return help;
}

}  // namespace tolvexctl
