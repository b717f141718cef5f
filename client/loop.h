// The one event loop and the tick that drives the deployment on it.
#pragma once

#include <ev.h>

// The default loop, set by main before any watcher starts.
extern struct ev_loop *g_loop;
// Repeating timer that calls the tick (updateInfo_onTimer in the daemon).
extern ev_timer g_updateTimer;

// First tick 2 s after start, then every 2 s.
constexpr double kTickSeconds = 2.0;

// Starts g_updateTimer on loop with tick as its callback, and the watch that
// gives the loop one late tick, never two back to back, after any callback
// that held it up beyond the tick's due time.
void startUpdateTimer(struct ev_loop *loop, void (*tick)(struct ev_loop *, ev_timer *, int));
