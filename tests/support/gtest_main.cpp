// The main of every GoogleTest suite. Besides running the tests it makes a
// skip visible to CTest:
// - each skipped case prints one line "tolvex-skip: Suite.Case: reason",
//   which scripts/test-summary.py collects into the summary of `make test`;
// - a run in which nothing passed, nothing failed and something was skipped
//   (a suite that cannot run here at all) exits with kSkipStatus, which
//   tolvex_add_test registers as SKIP_RETURN_CODE, so CTest reports it as
//   skipped rather than passed.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kSkipStatus = 77;

class SkipReporter : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { in_test_ = true; }
    void OnTestPartResult(const testing::TestPartResult& part) override {
        // A skip in SetUpTestSuite comes before any case and covers them all.
        std::string& reason = in_test_ ? reason_ : suite_reason_;
        if (part.skipped() && reason.empty())
            reason = part.message();
    }
    void OnTestSuiteEnd(const testing::TestSuite&) override { suite_reason_.clear(); }
    void OnTestEnd(const testing::TestInfo& info) override {
        in_test_ = false;
        if (info.result()->Skipped()) {
            std::string reason = !reason_.empty()         ? reason_
                                 : !suite_reason_.empty() ? suite_reason_
                                                          : std::string("(no reason given)");
            // One line per case, whatever the message holds.
            for (char& c : reason) {
                if (c == '\n' || c == '\r')
                    c = ' ';
            }
            std::printf("tolvex-skip: %s.%s: %s\n", info.test_suite_name(), info.name(),
                        reason.c_str());
            std::fflush(stdout);
        }
        reason_.clear();
    }
    bool in_test_ = false;
    std::string reason_;
    std::string suite_reason_;
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest& unit = *testing::UnitTest::GetInstance();
    unit.listeners().Append(new SkipReporter);  // owned by GoogleTest
    const int status = RUN_ALL_TESTS();
    if (status == 0 && unit.successful_test_count() == 0 && unit.skipped_test_count() > 0)
        return kSkipStatus;
    return status;
}
