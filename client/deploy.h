// The deployment sequence, driven by a 2 s tick.
#pragma once

#include <ev.h>

// First tick 2 s after start, then every 2 s.
constexpr double kTickSeconds = 2.0;
// A reminder goes out when the running tick count exceeds this.
constexpr int kReminderTicks = 15;

void updateInfo_onTimer(struct ev_loop *loop, ev_timer *timer, int revents);
