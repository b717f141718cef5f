// What a tick does for each state and reminder count; nothing is run.
#include <gtest/gtest.h>

#include "client/deploy.h"
#include "tests/unit/protocol.h"

namespace {
struct Step : Case {
    SysState state;
    int tickCount;
    std::string does; // the message, " copy", " finish", then " <state>/<count>" after the tick
};
class TickStepOf : public ::testing::TestWithParam<Step> {};
std::string leaves(SysState state, int count)
{
    return " " + std::to_string(state) + "/" + std::to_string(count);
}
} // namespace

TEST_P(TickStepOf, Does)
{
    const TickStep s = tickStep(GetParam().state, GetParam().tickCount);
    EXPECT_EQ(std::string(s.msg) + (s.copy ? " copy" : "") + (s.finish ? " finish" : "") +
                  leaves(s.state, s.tickCount),
              GetParam().does);
}

INSTANTIATE_TEST_SUITE_P(
    States, TickStepOf,
    ::testing::Values(
        Step{{"IdleAnnounces"}, SYS_STATE_IDLE, 3, json("connected") + leaves(SYS_STATE_IDLE, 3)},
        Step{{"ConnectedAsksForTheMount"},
             SYS_STATE_CONNECTED,
             3,
             json("sys_mount") + leaves(SYS_STATE_CONNECTED, 3)},
        Step{{"MountingCopiesReportsAndMovesOn"},
             SYS_STATE_MOUNTING,
             3,
             json("sys_mount_finish") + " copy" + leaves(SYS_STATE_MOUNT_FINISH, 3)},
        Step{{"MountFinishAsksToRun"},
             SYS_STATE_MOUNT_FINISH,
             3,
             json("sys_run") + leaves(SYS_STATE_MOUNT_FINISH, 3)},
        Step{{"RunningCountsTheFirstFifteenTicksQuietly"},
             SYS_STATE_RUNNING,
             14,
             leaves(SYS_STATE_RUNNING, 15)},
        Step{{"RunningRemindsOnTheSixteenthTick"},
             SYS_STATE_RUNNING,
             15,
             json("sys_try_run") + leaves(SYS_STATE_RUNNING, 0)},
        Step{{"RunFinishReportsBetweenCacheDropsAndEnds"},
             SYS_STATE_RUN_FINISH,
             3,
             json("sys_run_finish") + " finish" + leaves(SYS_STATE_RUN_FINISH, 3)},
        Step{{"UnusedStatesDoNothing"}, 6, 3, leaves(6, 3)}),
    behaviourOf<::testing::TestParamInfo<Step>>);
