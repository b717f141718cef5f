#include "client/loop.h"

struct ev_loop *g_loop = nullptr;
ev_timer g_updateTimer;

namespace {

// Runs each time the loop is about to wait, so after every callback, whichever
// watcher it served and whichever way it returned.
ev_prepare g_overrunWatcher;

// A callback that blocked (a copy, a slow bring-up, two failed connects)
// leaves the tick overdue, and libev would then run the overdue tick and,
// when it is a whole interval late, another one back to back. Re-arming it
// to fire now gives exactly one late tick, then the usual cadence from there.
void rearmAfterOverrun(struct ev_loop *loop, ev_prepare * /*watcher*/, int /*revents*/)
{
    if (!ev_is_active(&g_updateTimer)) // stopped on SIGINT: it stays stopped
        return;
    ev_now_update(loop);
    if (ev_timer_remaining(loop, &g_updateTimer) >= 0.0)
        return;
    ev_timer_stop(loop, &g_updateTimer);
    ev_timer_set(&g_updateTimer, 0.0, kTickSeconds);
    ev_timer_start(loop, &g_updateTimer);
}

} // namespace

void startUpdateTimer(struct ev_loop *loop, void (*tick)(struct ev_loop *, ev_timer *, int))
{
    ev_timer_init(&g_updateTimer, tick, kTickSeconds, kTickSeconds);
    ev_timer_start(loop, &g_updateTimer);
    ev_prepare_init(&g_overrunWatcher, rearmAfterOverrun);
    ev_prepare_start(loop, &g_overrunWatcher);
}
