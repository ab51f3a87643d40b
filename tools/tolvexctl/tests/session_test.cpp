#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#ifndef _WIN32
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "agent/platform.hpp"
#include "commands.hpp"
#include "session.hpp"

namespace tolvexctl {
namespace {

const std::filesystem::path kFake = TOLVEXCTL_FAKE_AGENT;
const std::string kThumb(64, 'c');

TEST(Session, ExchangesFramesInOrderAndPassesTheOrigin) {
    auto s = Session::open(kFake, {"chrome-extension://abc/"}, false);
    ASSERT_TRUE(s) << describe(s.error());
    for (int i = 0; i < 3; ++i) {
        auto r = s->call("echo", {{"thumbprint", "t" + std::to_string(i)}});
        ASSERT_TRUE(r) << describe(r.error());
        EXPECT_EQ((*r)["request"]["id"], std::to_string(i + 1));
        EXPECT_EQ((*r)["request"]["thumbprint"], "t" + std::to_string(i));
        EXPECT_EQ((*r)["args"], nlohmann::json({"chrome-extension://abc/"}));
    }
    EXPECT_EQ(s->finish(), 0);
}

TEST(Session, LargeAnswersArriveWhole) {
    auto s = Session::open(kFake, {}, false);
    ASSERT_TRUE(s);
    auto r = s->call("big");
    ASSERT_TRUE(r) << describe(r.error());
    EXPECT_EQ((*r)["blob"].get<std::string>().size(), 900000u);
}

TEST(Session, AgentErrorsKeepCodeAndMessage) {
    auto s = Session::open(kFake, {}, false);
    ASSERT_TRUE(s);
    auto r = s->call("fail");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code, "pin_incorrect");
    EXPECT_EQ(r.error().message, "PIN incorreto");
}

TEST(Session, LinkFailuresSayWhatHappened) {
    auto refused = Session::open(kFake, {"refuse"}, false);
    ASSERT_TRUE(refused);
    auto r = refused->call("echo");
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().code.empty());
    EXPECT_NE(r.error().message.find("recusou a origem"), std::string::npos) << r.error().message;

    auto quits = Session::open(kFake, {}, false);
    ASSERT_TRUE(quits);
    r = quits->call("quit");
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message.find("status 1"), std::string::npos) << r.error().message;

    auto missing = Session::open("/nonexistent/tolvex_agent", {}, false);
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().message.find("/nonexistent/tolvex_agent"), std::string::npos);
}

TEST(Session, OversizedRequestIsRefusedBeforeSending) {
    auto s = Session::open(kFake, {}, false);
    ASSERT_TRUE(s);
    auto r = s->exchange(std::string(1024 * 1024 + 1, 'x'));
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message.find("limite"), std::string::npos);
    EXPECT_TRUE(s->call("echo"));  // nothing was sent, the link is intact
}

TEST(Run, RawPassesLinesThroughAndReportsByExitStatus) {
    Options o;
    o.command = "raw";
    o.agent = kFake;
    std::istringstream in(
        "{\"id\":\"a\",\"command\":\"echo\"}\n\n{\"id\":\"b\",\"command\":\"fail\"}\r\n");
    std::ostringstream out, err;
    EXPECT_EQ(run(o, in, out, err), kExitOk) << err.str();
    std::istringstream lines(out.str());
    std::string first, second;
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_EQ(nlohmann::json::parse(first)["id"], "a");
    EXPECT_EQ(nlohmann::json::parse(second)["error"]["code"], "pin_incorrect");
}

// A small document to sign.
std::filesystem::path document() {
    static const auto file = [] {
        auto f = std::filesystem::temp_directory_path() / "tolvexctl-test-document.txt";
        std::ofstream(f) << "contrato\n";
        return f;
    }();
    return file;
}

Options sign_options() {
    Options o;
    o.command = "sign";
    o.agent = kFake;
    o.thumbprint = kThumb;
    o.data_file = document();
    return o;
}

TEST(Run, PinIsAskedOnlyWhenTheTokenWantsItAndOtherwiseSaysHow) {
    const Options o = sign_options();
    std::istringstream in;
    {
        // Nobody at a terminal: the answer says how to give the PIN.
        std::ostringstream out, err;
        EXPECT_EQ(run(o, in, out, err), kExitAgentError);
        EXPECT_NE(err.str().find("--pin-stdin"), std::string::npos) << err.str();
        EXPECT_NE(err.str().find("terminal"), std::string::npos) << err.str();
        EXPECT_EQ(err.str().find("pin_required"), std::string::npos) << "no wire code";
    }
    for (const auto& [pin, status, said] : {std::tuple{"1234", kExitOk, "c2lnbmVk\n"},
                                            std::tuple{"9", kExitAgentError, "PIN incorreto"}}) {
        int asked = 0;
        const PinPrompt prompt = [&, pin = pin]() -> std::expected<std::string, std::string> {
            ++asked;
            return pin;
        };
        std::ostringstream out, err;
        EXPECT_EQ(run(o, in, out, err, prompt), status) << err.str();
        EXPECT_EQ(asked, 1);
        EXPECT_NE((out.str() + err.str()).find(said), std::string::npos) << err.str();
    }
}

#ifndef _WIN32
// The real prompt on a real terminal: shown, and the PIN typed at it never
// echoed back.
TEST(Run, TerminalPromptDoesNotEchoThePin) {
    for (const auto& [pin, status, said] :
         {std::tuple{"1234", 0, "c2lnbmVk"}, std::tuple{"9876", 1, "PIN incorreto"}}) {
        const std::string doc = document().string();
        int terminal = -1;
        const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::execl(TOLVEXCTL_EXE, "tolvexctl", "sign", "--agent", TOLVEXCTL_FAKE_AGENT,
                    "--thumbprint", kThumb.c_str(), "--data-file", doc.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        std::string screen;
        bool typed = false;
        for (;;) {
            pollfd p{terminal, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0)
                break;
            char buf[512];
            const ssize_t n = ::read(terminal, buf, sizeof buf);
            if (n <= 0)
                break;  // EIO once the program has ended
            screen.append(buf, static_cast<std::size_t>(n));
            if (!typed && screen.find("PIN: ") != std::string::npos) {
                const std::string line = std::string(pin) + "\n";
                ASSERT_EQ(::write(terminal, line.data(), line.size()),
                          static_cast<ssize_t>(line.size()));
                typed = true;
            }
        }
        int st = 0;
        ::waitpid(pid, &st, 0);
        ::close(terminal);
        EXPECT_TRUE(typed) << screen;
        EXPECT_EQ(screen.find(pin), std::string::npos) << "echoed: " << screen;
        EXPECT_NE(screen.find(said), std::string::npos) << screen;
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == status) << screen;
    }
}
#endif

// The real agent, with a configuration it rejects and modules it cannot
// load: each is a warning in words, and the status says the setup is broken.
TEST(Run, BrokenSetupIsWarnedAndEndsWithStatus4) {
    namespace platform = tolvex::agent::platform;
    const auto dir = std::filesystem::temp_directory_path() / "tolvexctl-setup-test";
    std::filesystem::create_directories(dir);
    const auto config = dir / "agent.json";
    std::ofstream(config) << "{\"pkcs11_modules\": [\"x\",]}";
    platform::set_env("TOLVEX_AGENT_CONFIG", config.string());
    platform::set_env("TOLVEX_PKCS11_MODULES", (dir / "none.so").string());

    Options o;
    o.command = "certs";
    o.agent = TOLVEXCTL_AGENT;
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(run(o, in, out, err), kExitSetup);
    const std::string said = err.str();
    EXPECT_NE(said.find("é inválida (vírgula sobrando, linha 1, coluna 25)"), std::string::npos)
        << said;
    EXPECT_NE(said.find("none.so não pôde ser usado: o arquivo não existe"), std::string::npos)
        << said;
    EXPECT_NE(said.find("nenhum módulo PKCS#11 pôde ser carregado"), std::string::npos) << said;
    EXPECT_EQ(said.find("libloading"), std::string::npos) << "no library jargon without --verbose";

    // A valid file, and a module list with one module that does load.
    std::ofstream(config) << "{}";
    platform::set_env("TOLVEX_PKCS11_MODULES",
                      (dir / "none.so").string() + ";" + TOLVEXCTL_TOKEN_MODULE);
    std::ostringstream out2, err2;
    EXPECT_EQ(run(o, in, out2, err2), kExitOk) << err2.str();
    EXPECT_NE(err2.str().find("none.so não pôde ser usado"), std::string::npos) << err2.str();

    platform::set_env("TOLVEX_AGENT_CONFIG", std::nullopt);
    platform::set_env("TOLVEX_PKCS11_MODULES", std::nullopt);
    std::filesystem::remove_all(dir);
}

TEST(Run, MissingPinLineIsAUsageError) {
    Options o = sign_options();
    o.pin_stdin = true;
    std::istringstream in("");  // no PIN line
    std::ostringstream out, err;
    EXPECT_EQ(run(o, in, out, err), kExitUsage);
    EXPECT_NE(err.str().find("PIN"), std::string::npos);
}

}  // namespace
}  // namespace tolvexctl
