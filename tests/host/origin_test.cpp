#include "host.hpp"

#include <gtest/gtest.h>

namespace tolvex::agent {
namespace {

bool allowed(std::optional<std::string> list, std::string origin, bool unicode = true) {
    return origin_allowed(list, true, platform::CallerOrigin{std::move(origin), unicode});
}

TEST(OriginCheck, AllowListRules) {
    EXPECT_TRUE(allowed(std::nullopt, "anything"));
    EXPECT_TRUE(allowed(std::nullopt, ""));
    EXPECT_TRUE(allowed(std::nullopt, "x", false));

    const std::string two = "chrome-extension://a/, chrome-extension://b/";
    EXPECT_TRUE(allowed(two, "chrome-extension://a/"));
    EXPECT_TRUE(allowed(two, "chrome-extension://b/"));
    EXPECT_FALSE(allowed(two, "Chrome-Extension://b/"));
    EXPECT_FALSE(allowed(two, "chrome-extension://b"));
    EXPECT_FALSE(allowed(two, " chrome-extension://b/"));  // the origin is not trimmed
    EXPECT_FALSE(allowed(two, ""));

    EXPECT_FALSE(allowed("", ""));
    EXPECT_FALSE(allowed(" , ", ""));
    EXPECT_FALSE(allowed(" , ", "x"));
    // Unicode white space is trimmed from the pieces, not only ASCII.
    EXPECT_TRUE(allowed("\xE3\x80\x80o\xC2\xA0,\tp\n", "o"));
    EXPECT_TRUE(allowed("\xE3\x80\x80o\xC2\xA0,\tp\n", "p"));
    // An argument that was not Unicode never matches, even its lossy text.
    EXPECT_FALSE(allowed("\xEF\xBF\xBD", "\xEF\xBF\xBD", false));
}

TEST(OriginCheck, AllowListThatIsNotUnicodeAdmitsNobody) {
    platform::CallerOrigin origin{"chrome-extension://a/", true};
    EXPECT_FALSE(origin_allowed(std::string("chrome-extension://a/"), false, origin));
}

}  // namespace
}  // namespace tolvex::agent
