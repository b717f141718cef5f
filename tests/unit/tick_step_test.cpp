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

// Running, the fifteenth tick in a row is counted quietly and the sixteenth
// reminds the manager; at the run's finish the report goes out between two
// drops, and the client exits.
TEST(TickStep, RemindsOnTheSixteenthRunningTickAndReportsTheFinishBetweenTwoDrops)
{
    using ::testing::PrintToString;
    EXPECT_EQ(PrintToString(tickStep(SYS_STATE_RUNNING, 14)), "; count 15");
    EXPECT_EQ(PrintToString(tickStep(SYS_STATE_RUNNING, 15)), "send " + json("sys_try_run") + "; count 0");
    EXPECT_EQ(PrintToString(tickStep(SYS_STATE_RUN_FINISH, 3)),
              "drop, send " + json("sys_run_finish") + ", drop, exit; count 3");
}
