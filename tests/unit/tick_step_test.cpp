// What a tick does, in order, where the wire does not show it (the order of
// the states' texts is the system test's): the reminder's count and the
// final report between two drops. Nothing is run.
#include <array>
#include <gtest/gtest.h>

#include "client/deploy.h"
#include "tests/unit/protocol.h"

// A step as the table writes it: the actions in order, then the count after.
void PrintTo(const TickStep &step, std::ostream *os)
{
    constexpr std::array<const char *, 6> kNames = {"", "copy", "send ", "state ", "drop", "exit"};
    for (size_t i = 0; i < step.actions.size() && step.actions[i] != TickAction::kDone; ++i) {
        *os << (i > 0 ? ", " : "") << kNames.at(static_cast<size_t>(step.actions[i]));
        if (step.actions[i] == TickAction::kSend)
            *os << step.msg;
        if (step.actions[i] == TickAction::kSetState)
            *os << step.state;
    }
    *os << "; count " << step.tickCount;
}

namespace {
struct Step : Case {
    SysState state;
    int tickCount;
    std::string does; // the step printed
};
class TickStepOf : public ::testing::TestWithParam<Step> {};
constexpr SysState kRunning = SYS_STATE_RUNNING, kRunFinish = SYS_STATE_RUN_FINISH;
} // namespace

TEST_P(TickStepOf, Does)
{
    EXPECT_EQ(::testing::PrintToString(tickStep(GetParam().state, GetParam().tickCount)), GetParam().does);
}

INSTANTIATE_TEST_SUITE_P(
    States, TickStepOf,
    ::testing::Values(
        Step{{"RunningCountsTheFirstFifteenTicksQuietly"}, kRunning, 14, "; count 15"},
        Step{{"RunningRemindsOnTheSixteenthTick"}, kRunning, 15, "send " + json("sys_try_run") + "; count 0"},
        Step{{"RunFinishReportsBetweenTwoDropsThenExits"},
             kRunFinish,
             3,
             "drop, send " + json("sys_run_finish") + ", drop, exit; count 3"}),
    behaviourOf<::testing::TestParamInfo<Step>>);
