// The one TCP connection to the robotManager and the commands it sends.
#pragma once

#include <ev.h>

#include "client/handshake_round.h"
#include "client/state.h"

constexpr const char *kManagerIp = "10.10.10.2";
constexpr int kManagerPort = 7901;
// One read takes at most this much; the buffer has one byte more for a NUL.
constexpr int kManagerReadMax = 1024;

// The manager connection, or -1 when there is none.
extern int g_clientFd;
// Read watcher on g_clientFd; active exactly while there is a connection.
extern ev_io g_clientWatcher;

// Sends msg (len bytes, or strlen(msg) when len < 1), connecting first when
// there is no connection: -1 when no connection could be made, else send's result.
int sendClientMsg(const char *msg, int len);

// Connects when there is no connection, bringing usb0 up first; a new
// connection restarts the handshake. Returns g_clientFd.
int checkConnectStatus();

void onClientSock_cb(struct ev_loop *loop, ev_io *watcher, int revents);

// What one manager message asks of the client.
enum class ManagerAction {
    kNone,      // nothing (also for texts that are no command)
    kSetState,  // set the state
    kLate,      // a late answer to a repeat (logged): count it, change nothing
    kRunFinish, // set the state, drop the page cache, clear the reminder count
    kExit,      // close the connection and end the process
};
struct ManagerReply {
    ManagerAction action = ManagerAction::kNone;
    SysState state = SYS_STATE_IDLE; // for kSetState, kLate and kRunFinish
    friend bool operator==(const ManagerReply &, const ManagerReply &) = default;
};

// Logs and parses one received piece (NUL-terminated, at most 1024 bytes) and
// says what to do in state current, with the round so far; it runs nothing.
// The read callback carries the reply out.
ManagerReply handleManagerMsg(const char *text, SysState current, const HandshakeRound &round);
