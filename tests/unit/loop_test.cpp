// The tick's cadence on the loop: one late tick after a callback that overran.
#include <gtest/gtest.h>
#include <unistd.h>

#include "client/loop.h"

namespace {
int g_ticks = 0;
// Long enough to leave the tick a whole interval overdue.
constexpr useconds_t kOverrunUs = 4500000;

// Ticks that run before the loop would wait again: a few rounds that do not block.
int ticksRightAfter(struct ev_loop *loop)
{
    const int before = g_ticks;
    for (int round = 0; round < 5; ++round)
        ev_run(loop, EVRUN_NOWAIT);
    return g_ticks - before;
}
} // namespace

TEST(Loop, OneLateTickAfterATickThatOverran)
{
    struct ev_loop *loop = ev_loop_new(0);
    g_ticks = 0;
    startUpdateTimer(loop, [](struct ev_loop *, ev_timer *, int) {
        if (++g_ticks == 1)
            usleep(kOverrunUs);
    });
    ev_run(loop, EVRUN_ONCE); // the first tick, 2 s after the start
    EXPECT_EQ(ticksRightAfter(loop), 1);
    ev_loop_destroy(loop);
}

TEST(Loop, OneLateTickAfterAnotherCallbackOverran)
{
    struct ev_loop *loop = ev_loop_new(0);
    g_ticks = 0;
    startUpdateTimer(loop, [](struct ev_loop *, ev_timer *, int) { ++g_ticks; });
    ev_timer slow;
    ev_timer_init(
        &slow, [](struct ev_loop *, ev_timer *, int) { usleep(kOverrunUs); }, 0.0, 0.0);
    ev_timer_start(loop, &slow);
    ev_run(loop, EVRUN_ONCE);
    EXPECT_EQ(ticksRightAfter(loop), 1);
    ev_loop_destroy(loop);
}
