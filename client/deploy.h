// The deployment sequence, driven by a 2 s tick.
#pragma once

#include <array>
#include <cstdint>
#include <ev.h>
#include <string_view>

#include "client/state.h"

// A reminder goes out when the running tick count exceeds this.
constexpr int kReminderTicks = 15;

// One thing a tick does once usb0 is checked and the connection made.
enum class TickAction : uint8_t {
    kDone,       // nothing more: ends the list
    kCopy,       // the two copies to the manager
    kSend,       // send the step's message
    kSetState,   // move to the step's state
    kDropCaches, // drop the page cache
    kExit,       // end the process, with the status the deployment's end gives
};
// The longest list: drop, send, drop, exit.
constexpr size_t kTickActionsMax = 4;

// What one tick does, in order.
struct TickStep {
    std::array<TickAction, kTickActionsMax> actions{}; // in order, up to the first kDone
    std::string_view msg;                              // what kSend sends: a literal
    SysState state;                                    // what kSetState sets
    int tickCount;                                     // g_tickCount after the tick
};

// The step for a state and reminder count; it runs nothing.
TickStep tickStep(SysState state, int tickCount);

void updateInfo_onTimer(struct ev_loop *loop, ev_timer *timer, int revents);

// The link watch's socket, subscribed and logged; -1 when there is none.
int createNetlinkSock();

// The read callback of the link watch: a plug-in (usb0's carrier came up)
// starts the handshake over.
void onNetlinkSock_cb(struct ev_loop *loop, ev_io *watcher, int revents);
