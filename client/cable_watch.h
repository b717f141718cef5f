// The cable watch, robot-client's companion under the service manager: it
// follows usb0's carrier and starts the client's target each time the
// cable is plugged in, so that every plug-in deploys, also on a board whose
// usb0 stays while the cable comes and goes (a USB gadget).
//
// A plug-in stops the target first when it is (or may still be) active, and
// waits for that, so that the start pulls robot-client.service in again.
// A client that runs at the plug-in does not start again: it sees the
// carrier come up and starts its handshake again, unless the plug-in fell
// into its final report, after which it exits without having seen it. So
// the watch looks at the client every kLookEveryMs for kFollowMs after a
// plug-in and starts the target again when the client ended meanwhile. It
// also learns so whether a client it started runs, or failed. Only while
// such a plug-in is followed does it wake without a notification.
//
// At its start, a cable already in counts as a plug-in (power-on, a new
// usb0) unless an earlier watch has started the target for it, or a client
// has already run on this usb0 (its address is on it): a restarted watch
// (a package upgrade) starts no deployment.
//
// What happened shows in `systemctl status robot-client-cable` (STATUS=)
// and in a NOTICE line.
#pragma once

#include <ctime>
#include <span>

// Started on each plug-in and stopped on each unplug; robot-client.service
// is wanted by it while the client is enabled, and is not stopped with it.
constexpr const char *kPluggedTarget = "robot-client-plugged.target";
constexpr const char *kClientUnit = "robot-client.service";

// How long the client is followed after a plug-in: a client that saw the
// carrier come up runs much longer (a whole deployment takes more than
// 10 s, each step waiting for a 2 s tick), one caught in its final report
// ends well within it. And how often it is looked at meanwhile.
constexpr int kFollowMs = 5000;
constexpr int kLookEveryMs = 500;

// A unit's ActiveState (and SubState) as the watch tells them apart.
enum class UnitState {
    kUnknown,    // systemctl gave no answer
    kInactive,   // nothing of it runs; a start starts it afresh
    kStarting,   // activating
    kActive,     // active, or reloading
    kStopping,   // deactivating: its process is still there
    kFailed,     // failed
    kRestarting, // ended in failure; systemd starts it again (auto-restart)
};

// What `systemctl show` told of one unit.
struct UnitLook {
    UnitState state = UnitState::kUnknown;
    bool wantsClient =
        false;          // its Wants= names robot-client.service (the target, while the client is enabled)
    long mainPid = 0;   // ExecMainPID: its last main process, kept after it ended (0: none yet)
    int exitStatus = 0; // that process's exit status, or 128 + the signal that ended it
    long long activeSinceUs = 0; // ActiveEnterTimestampMonotonic: when it last became active
};

// The KEY=VALUE lines of `systemctl show -p ...` for one unit.
UnitLook parseUnitLook(const char *text);

// What a plug-in led to, as the status and the NOTICE line tell it.
enum class CableNews {
    kNone,          // nothing (yet) to tell
    kStarted,       // robot-client.service started (was seen running)
    kDisabled,      // the target wants no client: nothing started
    kWasRunning,    // a client ran at the plug-in; it starts its handshake again
    kFailed,        // the client started and failed (exit status)
    kStartFailed,   // systemctl refused the start (exit status)
    kStartedAgain,  // the client ended after its final report; a fresh one started
    kNotStarted,    // no client process came within kFollowMs
    kInBefore,      // the cable was in before the watch started (since: the target's start)
    kInBeforeWatch, // the same, when the time it came in is unknown (since: the watch's start)
};

// The status line: "cable in since HH:MM:SS: ..." with since in local time.
// Returns out's data.
const char *cableStatusText(CableNews news, int exitStatus, time_t since, std::span<char> out);

// The same without the time: the NOTICE line's text. Returns out's data.
const char *cableNewsText(CableNews news, int exitStatus, std::span<char> out);

// How the client is followed after a plug-in.
enum class FollowMode {
    kOff,
    kRunning,  // a client ran at the plug-in: started again if it ends meanwhile
    kStarting, // none ran: the one the start brings is awaited
};
struct Follow {
    FollowMode mode = FollowMode::kOff;
    long pid = 0;        // the client's ExecMainPID when following began
    bool again = false;  // the start was the one after a final report
    bool seenUp = false; // the new client was seen running at an earlier look
};

// At a plug-in: whether the target is stopped (and waited for) before its
// start, what can be told at once, and how the client is then followed.
struct PlugInPlan {
    bool stopFirst = false;
    CableNews news = CableNews::kNone;
    Follow follow;
};
PlugInPlan planPlugIn(const UnitLook &target, const UnitLook &client);

// One look at the client while it is followed: go on looking, start the
// target again, or stop following; with what there is to tell.
enum class FollowStep { kWatch, kStartAgain, kDone };
struct FollowVerdict {
    FollowStep step = FollowStep::kWatch;
    CableNews news = CableNews::kNone;
    int exitStatus = 0;
};
// windowOver: the look is the last of the kFollowMs. Updates follow.
FollowVerdict followClient(Follow &follow, const UnitLook &client, bool windowOver);

// At the watch's start with the cable in: whether that counts as a plug-in.
bool cableInCountsAsPlugIn(const UnitLook &target, bool usb0HasClientAddress);

// Subscribes to link notifications, sets usb0 up (its carrier shows only
// then) and acts on the carrier it finds: the socket to read from, or -1
// (logged) when there is none.
int cableWatchStart();

// Reads once from the watch's socket, waiting for notifications, and acts
// on what they tell: a plug-in (stops and) starts kPluggedTarget, an unplug
// stops it. False (logged) when the socket cannot be read.
bool cableWatchRead(int fd);

// True while a plug-in is followed.
bool cableWatchFollowing();

// One step: while a plug-in is followed, waits for notifications or the
// next look at the client, whichever comes first; otherwise reads (blocking,
// no timer). False (logged) when the socket cannot be read.
bool cableWatchStep(int fd);

// Steps until the socket cannot be read: then 1, the watch's exit status,
// so that the service manager starts it again.
int cableWatchRun(int fd);
