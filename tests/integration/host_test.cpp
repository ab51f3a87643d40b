// The agent as a process, driven over real frames the way a browser does.
// Runs against the Linux agent and, with TOLVEX_AGENT_COMMAND, against the
// Windows agent under Wine.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <sstream>
#include <string_view>

#include <gtest/gtest.h>

#include "driver.hpp"

namespace tolvex::testing {
namespace {

const std::string kPong =
    R"("result":{"type":"pong","agent_version":"0.1.1","protocol_version":3,)"
    R"("commands":["ping","list_tokens","list_certificates","read_certificate","sign"],)"
    R"("os_store":"windows"}})";

std::string ping(const std::string& id) {
    return R"({"id":")" + id + R"(","command":"ping"})";
}
std::string pong(const std::string& id) {
    return R"({"id":")" + id + R"(","ok":true,)" + kPong;
}

// True for "<YYYY-MM-DDTHH:MM:SS.uuuuuuZ> <LEVEL> <target>: <message>".
// Hand-written: std::regex trips GCC 12's warnings under the sanitizers.
bool is_log_line(std::string_view line) {
    const std::string_view shape = "dddd-dd-ddTdd:dd:dd.ddddddZ ";
    if (line.size() < shape.size() + 6)
        return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        char c = line[i];
        if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i])
            return false;
    }
    line.remove_prefix(shape.size());
    auto level = line.substr(0, 6);
    if (level != "TRACE " && level != "DEBUG " && level != " INFO " && level != " WARN " &&
        level != "ERROR ") {
        return false;
    }
    line.remove_prefix(6);
    auto colon = line.find(": ");
    if (colon == 0 || colon == std::string_view::npos)
        return false;
    for (char c : line.substr(0, colon)) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == ':')) {
            return false;
        }
    }
    return true;
}

// The agent's own log lines in a text (Wine may add lines of its own).
std::vector<std::string> log_lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream stream(text);
    for (std::string l; std::getline(stream, l);) {
        if (is_log_line(l))
            out.push_back(l);
    }
    return out;
}

bool has_line_ending(const std::vector<std::string>& lines, const std::string& tail) {
    for (const auto& l : lines) {
        if (l.size() >= tail.size() && l.compare(l.size() - tail.size(), tail.size(), tail) == 0) {
            return true;
        }
    }
    return false;
}

// An agent whose configuration file sends the log to `log_file`.
AgentOptions with_log_file(const TempDir& dir, const std::string& log_file) {
    dir.write("agent.json", R"({"log_file":")" + log_file + R"("})");
    AgentOptions options;
    options.env["TOLVEX_AGENT_CONFIG"] = dir.file("agent.json");
    return options;
}

TEST(AgentProcess, PingExchangeByteForByte) {
    auto run = run_requests({R"({"id":"7","command":"ping"})"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.stdout_bytes, frame(pong("7")));
    auto lines = log_lines(run.stderr_text);
    ASSERT_EQ(lines.size(), 2u) << run.stderr_text;
    EXPECT_TRUE(
        lines[0].ends_with(" INFO tolvex_agent: agente iniciado; repositório do SO: windows"));
    EXPECT_TRUE(lines[1].ends_with(" INFO tolvex_agent::handler: ok command=ping"));
}

TEST(AgentProcess, EmptyInputEndsCleanlyWithNothingWritten) {
    auto run = run_agent("");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.stdout_bytes, "");
    EXPECT_TRUE(
        has_line_ending(log_lines(run.stderr_text), "agente iniciado; repositório do SO: windows"));
}

TEST(AgentProcess, OversizedLengthEndsWithStatusOne) {
    TempDir dir;
    auto options = with_log_file(dir, dir.file("agent.log"));
    auto run = run_agent(std::string("\x01\x00\x10\x00", 4) + std::string(64, '{'), options);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.stdout_bytes, "");
    EXPECT_TRUE(has_line_ending(
        log_lines(read_file(dir.file("agent.log"))),
        "ERROR tolvex_agent: falha ao ler mensagem: mensagem de 1048577 bytes excede o limite"));
}

TEST(AgentProcess, TruncatedFrameAfterGoodOnesEndsWithStatusOne) {
    for (const std::string& tail : {frame(ping("3")).substr(0, 9), std::string("\x10\x00", 2)}) {
        auto run = run_agent(frames({ping("1"), ping("2")}) + tail);
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_EQ(run.responses, (std::vector<std::string>{pong("1"), pong("2")}));
        EXPECT_EQ(run.stdout_bytes, frames({pong("1"), pong("2")}));
        EXPECT_TRUE(has_line_ending(
            log_lines(run.stderr_text),
            "ERROR tolvex_agent: falha ao ler mensagem: failed to fill whole buffer"))
            << run.stderr_text;
    }
}

TEST(AgentProcess, OriginCheck) {
    AgentOptions options;
    options.env["TOLVEX_ALLOWED_ORIGINS"] = "chrome-extension://a/, chrome-extension://b/";
    options.args = {"chrome-extension://b/"};
    auto accepted = run_requests({ping("1")}, options);
    EXPECT_EQ(accepted.exit_status, 0);
    EXPECT_EQ(accepted.responses, std::vector<std::string>{pong("1")});

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"chrome-extension://b"}, {"Chrome-Extension://b/"}, {}}) {
        options.args = args;
        auto refused = run_requests({ping("1")}, options);
        EXPECT_EQ(refused.exit_status, 2);
        EXPECT_EQ(refused.stdout_bytes, "");
        auto lines = log_lines(refused.stderr_text);
        std::string origin = args.empty() ? "" : args[0];
        EXPECT_TRUE(
            has_line_ending(lines, "ERROR tolvex_agent: origem não permitida: \"" + origin + "\""))
            << refused.stderr_text;
        EXPECT_FALSE(has_line_ending(lines, "agente iniciado; repositório do SO: windows"));
    }

    AgentOptions nobody;
    nobody.args = {"chrome-extension://a/\nforged"};
    for (const char* list : {"", " , "}) {
        nobody.env["TOLVEX_ALLOWED_ORIGINS"] = list;
        auto refused = run_requests({ping("1")}, nobody);
        EXPECT_EQ(refused.exit_status, 2);
        // The origin is quoted and escaped: the line feed stays on the line.
        EXPECT_TRUE(has_line_ending(log_lines(refused.stderr_text),
                                    "origem não permitida: \"chrome-extension://a/\\nforged\""))
            << refused.stderr_text;
    }
}

TEST(AgentProcess, OriginCheckKnowsFirefoxAndChromeOnWindows) {
    const std::string manifest = "/home/u/.mozilla/native-messaging-hosts/br.com.tolvex.agent.json";
    AgentOptions options;
    options.env["TOLVEX_ALLOWED_ORIGINS"] =
        "chrome-extension://a/, agente@tolvex.com.br," + manifest;
    // Firefox: manifest path, then the add-on ID. Chrome on Windows: the
    // origin, then the parent window.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{manifest, "agente@tolvex.com.br"},
          {"chrome-extension://a/", "--parent-window=0"}}) {
        options.args = args;
        auto accepted = run_requests({ping("1")}, options);
        EXPECT_EQ(accepted.exit_status, 0) << args[0];
        EXPECT_EQ(accepted.responses, std::vector<std::string>{pong("1")});
    }
    // The add-on ID is what is checked and logged, never the manifest path
    // beside it, even when the list holds that path.
    options.args = {manifest, "outro@exemplo.com"};
    auto refused = run_requests({ping("1")}, options);
    EXPECT_EQ(refused.exit_status, 2);
    EXPECT_TRUE(has_line_ending(log_lines(refused.stderr_text),
                                "ERROR tolvex_agent: origem não permitida: \"outro@exemplo.com\""))
        << refused.stderr_text;
}

TEST(AgentProcess, SeveralFramesInOneWriteAreAnsweredInOrder) {
    auto run = run_agent(frames({ping("a"), R"({"id":"b","command":"nope"})", ping("c")}));
    EXPECT_EQ(run.exit_status, 0);
    ASSERT_EQ(run.responses.size(), 3u);
    EXPECT_EQ(run.responses[0], pong("a"));
    EXPECT_EQ(run.responses[1], R"({"id":"b","ok":false,"error":{"code":"unknown_command",)"
                                R"("message":"comando desconhecido: nope"}})");
    EXPECT_EQ(run.responses[2], pong("c"));
}

TEST(AgentProcess, BodyOfExactlyOneMebibyteIsAnswered) {
    std::string head = R"({"id":"big","command":"ping","pad":")";
    std::string body = head + std::string(1048576 - head.size() - 2, 'x') + "\"}";
    ASSERT_EQ(body.size(), 1048576u);
    auto run = run_requests({body, ping("after")});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.responses, (std::vector<std::string>{pong("big"), pong("after")}));
}

TEST(AgentProcess, HostileBodiesGetInvalidRequestAndTheLoopGoesOn) {
    std::mt19937 random(20260305);
    std::string noise;
    for (int i = 0; i < 65536; ++i)
        noise.push_back(static_cast<char>(random() & 0xff));
    const std::vector<std::string> hostile = {
        std::string(200000, '[') + std::string(200000, ']'),
        std::string(200000, '['),
        R"({"id":"1","x":)" + std::string(200000, '{'),
        "{\"id\":\"\xC3\x28\",\"command\":\"ping\"}",
        noise,
        "",
    };
    std::vector<std::string> bodies = hostile;
    bodies.push_back(ping("still"));
    auto run = run_requests(bodies);
    EXPECT_EQ(run.exit_status, 0);
    ASSERT_EQ(run.responses.size(), bodies.size());
    for (std::size_t i = 0; i < hostile.size(); ++i) {
        EXPECT_TRUE(run.responses[i].starts_with(
            R"({"id":null,"ok":false,"error":{"code":"invalid_request","message":"mensagem inválida: )"))
            << i << ": " << run.responses[i];
    }
    EXPECT_EQ(run.responses.back(), pong("still"));
}

TEST(AgentLog, FileInNewDirectoriesReceivesLinesAndRunsAppend) {
    TempDir dir;
    std::string log = dir.file("a/b/agent.log");
    auto options = with_log_file(dir, log);
    auto first = run_requests({ping("1")}, options);
    auto second = run_requests({R"({"id":"2","command":"sign"})"}, options);
    EXPECT_EQ(first.exit_status, 0);
    EXPECT_EQ(second.exit_status, 0);
    EXPECT_TRUE(log_lines(first.stderr_text).empty()) << first.stderr_text;
    std::string text = read_file(log);
    auto lines = log_lines(text);
    std::size_t raw_lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    EXPECT_EQ(lines.size(), raw_lines) << text;  // nothing but well-formed lines, LF-terminated
    ASSERT_GE(lines.size(), 4u) << text;
    EXPECT_TRUE(
        lines[0].ends_with(" INFO tolvex_agent: agente iniciado; repositório do SO: windows"));
    EXPECT_TRUE(lines[1].ends_with(" INFO tolvex_agent::handler: ok command=ping"));
    EXPECT_TRUE(
        lines[2].ends_with(" INFO tolvex_agent: agente iniciado; repositório do SO: windows"));
    EXPECT_TRUE(has_line_ending(
        lines, "tolvex_agent::handler: falhou command=sign code=\"invalid_request\""));
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(AgentLog, UnopenableLogPathFallsBackToStandardError) {
    TempDir dir;
    auto options = with_log_file(dir, dir.path());  // a directory
    auto run = run_requests({ping("1")}, options);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_TRUE(has_line_ending(log_lines(run.stderr_text), "ok command=ping")) << run.stderr_text;
}

TEST(AgentConfig, InvalidFileIsReportedOnStandardErrorAndDefaultsApply) {
    TempDir dir;
    std::string log = dir.file("never.log");
    dir.write("agent.json", R"({"log_file":")" + log + R"("} {})");
    AgentOptions options;
    options.env["TOLVEX_AGENT_CONFIG"] = dir.file("agent.json");
    auto run = run_requests({ping("1")}, options);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.responses, std::vector<std::string>{pong("1")});
    std::string expected = "configuração inválida em " + dir.file("agent.json") +
                           ": trailing characters at line 1 column " +
                           std::to_string(log.size() + 17) + "\n";
    EXPECT_NE(run.stderr_text.find(expected), std::string::npos) << run.stderr_text;
    EXPECT_TRUE(has_line_ending(log_lines(run.stderr_text), "ok command=ping"));
    EXPECT_EQ(read_file(log), "");  // nothing of an invalid file is used
}

TEST(AgentConfig, DefaultLocationUnderAppData) {
    if (agent_is_windows()) {
        GTEST_SKIP() << "Wine sets APPDATA to its own profile, whatever the caller passes";
    }
    TempDir dir;
    std::string log = dir.file("from-appdata.log");
    dir.write("TolvexSign/agent.json", R"({"log_file":")" + log + R"(","pkcs11_modules":[]})");
    AgentOptions options;
    options.env["APPDATA"] = dir.path();
    auto run = run_requests({ping("1")}, options);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_TRUE(has_line_ending(log_lines(read_file(log)), "ok command=ping")) << run.stderr_text;
}

TEST(AgentProcess, ClosedStandardDescriptorsAreFilledNeverReused) {
    TempDir dir;
    const std::string log = dir.file("agent.log");
    auto options = with_log_file(dir, log);
    // Nobody to answer; above all the log file must not become descriptor
    // 1 and receive the frames.
    options.closed_descriptors = {1};
    auto no_output = run_requests({ping("1")}, options);
    EXPECT_EQ(no_output.exit_status, 1);
    EXPECT_EQ(read_file(log), "");

    options.closed_descriptors = {0, 2};
    auto no_input = run_requests({ping("1")}, options);
    EXPECT_EQ(no_input.exit_status, 0);
    EXPECT_EQ(no_input.stdout_bytes, "");

    options.closed_descriptors = {2};
    auto no_error = run_requests({ping("2")}, options);
    EXPECT_EQ(no_error.exit_status, 0);
    EXPECT_EQ(no_error.stdout_bytes, frame(pong("2")));
    const std::string text = read_file(log);
    auto lines = log_lines(text);
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')))
        << text;
    EXPECT_EQ(lines.size(), 3u) << text;  // two starts, one ping: the closed input had none
}

TEST(AgentFiles, OnlyRegularFilesAreReadAsFiles) {
    if (agent_is_windows())
        GTEST_SKIP() << "FIFOs and devices of the Linux side";
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Held open for reading, so that opening it for writing succeeds.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);

    // A FIFO or an endless device as configuration: the defaults, silently.
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        AgentOptions options;
        options.env["TOLVEX_AGENT_CONFIG"] = path;
        auto run = run_requests({ping("1")}, options);
        EXPECT_EQ(run.exit_status, 0) << path;
        EXPECT_EQ(run.responses, std::vector<std::string>{pong("1")}) << path;
        EXPECT_EQ(run.stderr_text.find("configuração inválida"), std::string::npos);
    }
    // Past 1 MiB: reported, and nothing of it used.
    const std::string never = dir.file("never.log");
    std::string big = R"({"log_file":")" + never + R"(","pad":")";
    big += std::string((1u << 20) + 1 - big.size() - 2, 'x') + "\"}";
    dir.write("big.json", big);
    AgentOptions large;
    large.env["TOLVEX_AGENT_CONFIG"] = dir.file("big.json");
    auto run = run_requests({ping("1")}, large);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_NE(run.stderr_text.find("configuração inválida em " + dir.file("big.json") +
                                   ": file larger than 1048576 bytes\n"),
              std::string::npos)
        << run.stderr_text;
    EXPECT_FALSE(std::filesystem::exists(never));

    // A FIFO as log file and as module: the log goes to standard error, the
    // module is reported without being loaded.
    auto options = with_log_file(dir, fifo);
    options.env["TOLVEX_PKCS11_MODULES"] = fifo;
    run = run_requests({R"({"id":"t","command":"list_tokens"})"}, options);
    EXPECT_EQ(run.exit_status, 0);
    ASSERT_EQ(run.responses.size(), 1u);
    EXPECT_NE(run.responses[0].find(R"({"module":")" + fifo +
                                    R"(","message":"libloading error (dlopen failed: )" + fifo +
                                    R"x(: not a regular file)"})x"),
              std::string::npos)
        << run.responses[0];
    EXPECT_TRUE(has_line_ending(log_lines(run.stderr_text), "ok command=list_tokens"));
    char byte;
    EXPECT_LT(::read(reader, &byte, 1), 1);  // nothing went into the FIFO
    ::close(reader);

    // A character device is a fine log.
    run = run_requests({ping("1")}, with_log_file(dir, "/dev/null"));
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_TRUE(log_lines(run.stderr_text).empty()) << run.stderr_text;
}

TEST(AgentLog, CommandNamesCannotForgeLinesFieldsOrMegabytes) {
    const std::string forged =
        R"(x\n2026-03-05T14:07:09.004211Z  INFO tolvex_agent::handler: ok command=sign)";
    auto run = run_requests({R"({"id":"1","command":")" + forged + R"("})",
                             R"({"id":"2","command":"sign code=\"ok\" user=\"admin\""})",
                             R"({"id":"3","command":")" + std::string(1 << 19, 'a') + R"("})"});
    EXPECT_EQ(run.exit_status, 0);
    auto lines = log_lines(run.stderr_text);
    for (const auto& l : lines) {
        EXPECT_FALSE(l.starts_with("2026-03-05T14:07:09")) << run.stderr_text;
        EXPECT_LT(l.size(), 300u);
    }
    EXPECT_TRUE(has_line_ending(lines, "falhou command=\"" + forged.substr(0, 1) + "\\n" +
                                           forged.substr(3, 62) + "…\" code=\"unknown_command\""))
        << run.stderr_text;
    EXPECT_TRUE(has_line_ending(
        lines, R"(falhou command="sign code=\"ok\" user=\"admin\"" code="unknown_command")"));
    EXPECT_TRUE(has_line_ending(
        lines, "falhou command=\"" + std::string(64, 'a') + "…\" code=\"unknown_command\""));
}

}  // namespace
}  // namespace tolvex::testing
