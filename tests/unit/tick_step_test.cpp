// What a tick does for each state and reminder count; nothing is run.
#include <gtest/gtest.h>

#include "client/deploy.h"
#include "tests/unit/protocol.h"

namespace {
// The state and count a step leaves: " <state>/<count>".
std::string leaves(SysState state, int count)
{
    return " " + std::to_string(state) + "/" + std::to_string(count);
}
// A step as text: its message, " copy", " finish", then what it leaves.
std::string step(SysState state, int count)
{
    const TickStep s = tickStep(state, count);
    return std::string(s.msg) + (s.copy ? " copy" : "") + (s.finish ? " finish" : "") +
           leaves(s.state, s.tickCount);
}
} // namespace

TEST(TickStep, WaitingStatesRepeatTheirMessage)
{
    EXPECT_EQ(step(SYS_STATE_IDLE, 3), json("connected") + leaves(SYS_STATE_IDLE, 3));
    EXPECT_EQ(step(SYS_STATE_CONNECTED, 3), json("sys_mount") + leaves(SYS_STATE_CONNECTED, 3));
    EXPECT_EQ(step(SYS_STATE_MOUNT_FINISH, 3), json("sys_run") + leaves(SYS_STATE_MOUNT_FINISH, 3));
}

TEST(TickStep, MountingCopiesReportsAndMovesToMountFinish)
{
    EXPECT_EQ(step(SYS_STATE_MOUNTING, 3),
              json("sys_mount_finish") + " copy" + leaves(SYS_STATE_MOUNT_FINISH, 3));
}

TEST(TickStep, RunningRemindsOnEverySixteenthTick)
{
    for (int count = 0; count < 15; ++count)
        EXPECT_EQ(step(SYS_STATE_RUNNING, count), leaves(SYS_STATE_RUNNING, count + 1));
    EXPECT_EQ(step(SYS_STATE_RUNNING, 15), json("sys_try_run") + leaves(SYS_STATE_RUNNING, 0));
}

TEST(TickStep, RunFinishReportsBetweenCacheDropsAndEnds)
{
    EXPECT_EQ(step(SYS_STATE_RUN_FINISH, 3),
              json("sys_run_finish") + " finish" + leaves(SYS_STATE_RUN_FINISH, 3));
}

TEST(TickStep, UnusedStatesDoNothing)
{
    for (const SysState state : {2, 3, 6, 42})
        EXPECT_EQ(step(state, 3), leaves(state, 3));
}
