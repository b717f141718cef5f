// The tick's cadence on the loop: one late tick after a callback that overran.
#include <gtest/gtest.h>
#include <unistd.h>

#include "client/loop.h"

namespace {
int g_ticks = 0;
// Long enough to leave the tick a whole interval overdue.
constexpr useconds_t kOverrunUs = 4500000;
} // namespace

TEST(Loop, OneLateTickAfterAnotherCallbackOverran)
{
    struct ev_loop *loop = ev_loop_new(0);
    startUpdateTimer(loop, [](struct ev_loop *, ev_timer *, int) { ++g_ticks; });
    ev_timer slow;
    ev_timer_init(
        &slow, [](struct ev_loop *, ev_timer *, int) { usleep(kOverrunUs); }, 0.0, 0.0);
    ev_timer_start(loop, &slow);
    ev_run(loop, EVRUN_ONCE); // the slow callback alone
    const int before = g_ticks;
    for (int round = 0; round < 5; ++round) // rounds that do not block
        ev_run(loop, EVRUN_NOWAIT);
    EXPECT_EQ(g_ticks - before, 1);
    ev_loop_destroy(loop);
}
