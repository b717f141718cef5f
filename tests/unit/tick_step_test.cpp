// What a tick does for each state and reminder count; nothing is run.
#include <gtest/gtest.h>

#include "client/deploy.h"
#include "tests/unit/protocol.h"

namespace {
struct Step : Case {
    SysState state;
    int tickCount;
    std::string does; // the message sent, then " copy" or " finish"
    SysState after;
    int countAfter;
};
class TickStepOf : public ::testing::TestWithParam<Step> {};
constexpr SysState kIdle = SYS_STATE_IDLE, kConnected = SYS_STATE_CONNECTED, kMounting = SYS_STATE_MOUNTING,
                   kMounted = SYS_STATE_MOUNT_FINISH, kRunning = SYS_STATE_RUNNING,
                   kRunFinish = SYS_STATE_RUN_FINISH;
} // namespace

TEST_P(TickStepOf, Does)
{
    const TickStep s = tickStep(GetParam().state, GetParam().tickCount);
    EXPECT_EQ(std::string(s.msg) + (s.copy ? " copy" : "") + (s.finish ? " finish" : ""), GetParam().does);
    EXPECT_EQ(s.state, GetParam().after);
    EXPECT_EQ(s.tickCount, GetParam().countAfter);
}

INSTANTIATE_TEST_SUITE_P(
    States, TickStepOf,
    ::testing::Values(
        Step{{"IdleAnnounces"}, kIdle, 3, json("connected"), kIdle, 3},
        Step{{"ConnectedAsksForTheMount"}, kConnected, 3, json("sys_mount"), kConnected, 3},
        Step{{"MountingCopiesAndReports"}, kMounting, 3, json("sys_mount_finish") + " copy", kMounted, 3},
        Step{{"MountFinishAsksToRun"}, kMounted, 3, json("sys_run"), kMounted, 3},
        Step{{"RunningCountsTheFirstFifteenTicksQuietly"}, kRunning, 14, "", kRunning, 15},
        Step{{"RunningRemindsOnTheSixteenthTick"}, kRunning, 15, json("sys_try_run"), kRunning, 0},
        Step{{"RunFinishReportsAndEnds"}, kRunFinish, 3, json("sys_run_finish") + " finish", kRunFinish, 3},
        Step{{"UnusedStatesDoNothing"}, 6, 3, "", 6, 3}),
    behaviourOf<::testing::TestParamInfo<Step>>);
