// The deployment sequence, driven by a 2 s tick.
#pragma once

#include <ev.h>
#include <string_view>

#include "client/state.h"

// A reminder goes out when the running tick count exceeds this.
constexpr int kReminderTicks = 15;

// What one tick does once usb0 is checked and the connection made.
struct TickStep {
    std::string_view msg; // a literal sent to the manager; empty: nothing is sent
    bool copy;            // the two copies run before the message
    bool finish;          // the message goes between two cache drops, then the client exits
    SysState state;       // the state after the tick
    int tickCount;        // g_tickCount after the tick
};

// The step for a state and reminder count; it runs nothing.
TickStep tickStep(SysState state, int tickCount);

void updateInfo_onTimer(struct ev_loop *loop, ev_timer *timer, int revents);
