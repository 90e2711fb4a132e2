// A process that has started listeners ends promptly and cleanly, whatever its listeners are
// doing at that moment.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "tovzelt.h"

namespace {

struct ExitCase {
    const char* mode;
};

class ListenerExitTest : public ::testing::TestWithParam<ExitCase> {
protected:
    void SetUp() override { tovzelt_test::ensure_server_running(); }
    void TearDown() override { tovzelt_test::ensure_server_running(); }
};

TEST_P(ListenerExitTest, ExitsWithinAboutASecondWithStatusZero) {
    const tovzelt_test::CommandResult run = tovzelt_test::run_command(
        std::string("timeout -s KILL 60 ") + LISTENER_EXIT_PROGRAM + " " + GetParam().mode);
    const long long ended = Tovana::TovZelt::now_ms();
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "") << "no sanitizer report or other complaint";
    const long long last_line_at = std::stoll(run.out);
    EXPECT_LT(ended - last_line_at, 1500) << "the end of main took too long";
}

INSTANTIATE_TEST_SUITE_P(Modes, ListenerExitTest,
                         ::testing::Values(ExitCase{"return"}, ExitCase{"exit"},
                                           ExitCase{"callback"}, ExitCase{"restart"}),
                         [](const auto& info) { return std::string(info.param.mode); });

}  // namespace
