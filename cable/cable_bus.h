// The cable watch's word with systemd, over sd-bus on systemd's own socket
// (as systemctl does for root; boards run no D-Bus daemon): the target's
// start and stop, the start job's end, and the client unit's state.
//
// systemd sends every unit's signals to every connection on that socket, so
// the watch is connected only while it follows a deployment. Signals there
// carry no sender: the matches filter on path, interface and member only.
#pragma once

#include <array>
#include <poll.h>
#include <span>

#include "cable/cable_follow.h"

constexpr const char *kSystemdBusAddress = "unix:path=/run/systemd/private";

// For tests and the bench: each connection is made on the descriptor that
// connector returns (connected to a stand-in for systemd) instead of the
// address. nullptr: the address.
void cableBusSetConnector(int (*connector)());

// Connects and listens for the start job's end and the client's changes:
// 0, or a negative errno. A socket not there yet (systemd re-executing) is
// waited for.
int busConnect();
void busDisconnect();
bool busConnected();

// How a StartUnit of kPluggedTarget went.
enum class Start {
    kQueued,       // its job is queued: the job whose end busProcess reports
    kLost,         // no answer: the connection broke, or the call timed out
    kRefused,      // systemd refused it (its reason in error)
    kShuttingDown, // systemd refused it: a shutdown is queued (a destructive transaction)
};
Start busStartTarget(std::span<char> error);
// StopUnit of kPluggedTarget, mode "replace": 0, or a negative errno with
// systemd's reason in error.
int busStopTarget(std::span<char> error);

// The client unit's properties as systemd tells them now: one GetAll of its
// Unit interface and one of its Service interface, taken again when they
// disagree (its main process started or ended between the two). kUnknown
// state when systemd does not answer.
ClientLook busLookAtClient();

// What busProcess found among what came.
struct BusNews {
    bool clientChanged = false;    // a PropertiesChanged for the client unit
    bool startEnded = false;       // the start job ended ...
    bool startDone = false;        // ... with the result "done"
    std::array<char, 16> result{}; // the job's result: done, canceled, failed, ...
};
// Processes everything that came: 0, or a negative errno when the connection
// broke (daemon-reexec drops it).
int busProcess(BusNews &news);

// What to wait for: the descriptor and events into fd; returns the poll
// timeout in ms (-1: none; 0 while messages wait to be processed).
int busWaitFor(pollfd &fd);
