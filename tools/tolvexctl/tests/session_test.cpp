#include <gtest/gtest.h>

#include <sstream>

#include "commands.hpp"
#include "session.hpp"

namespace tolvexctl {
namespace {

const std::filesystem::path kFake = TOLVEXCTL_FAKE_AGENT;

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
    EXPECT_EQ(describe(r.error()), "pin_incorrect: PIN incorreto");
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

TEST(Run, MissingPinLineIsAUsageError) {
    Options o;
    o.command = "sign";
    o.agent = kFake;
    o.thumbprint = "ab";
    o.data_file = TOLVEXCTL_FAKE_AGENT;  // any readable file
    o.pin_stdin = true;
    std::istringstream in("");  // no PIN line
    std::ostringstream out, err;
    EXPECT_EQ(run(o, in, out, err), kExitUsage);
    EXPECT_NE(err.str().find("PIN"), std::string::npos);
}

}  // namespace
}  // namespace tolvexctl
