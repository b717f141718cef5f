// The cable watch's decisions and what it tells, free of any system call so
// that they are tested in tables: whether a cable already in counts as a
// plug-in, what each new state of the client unit leads to while a
// deployment is followed, and the status texts.
#pragma once

#include <ctime>
#include <span>

#include "record/deploy_record.h"
#include "record/run_paths.h"

// Started on each plug-in and stopped on each unplug; robot-client.service
// is wanted by it while the client is enabled, and is not stopped with it.
constexpr const char *kPluggedTarget = "robot-client-plugged.target";
constexpr const char *kClientUnit = "robot-client.service";

// A client that was running at a plug-in saw it when its handshake
// (re)started no earlier than this before the plug-in: both read the same
// notification within moments of each other.
constexpr double kSawPlugInMargin = 2.0;

// How long the package's marker (kDpkgMarkerPath) counts: one left by a
// killed dpkg must not silence plug-ins for long.
constexpr int kDpkgMarkerFreshSec = 300;

// At the watch's start with the cable in: a plug-in unless the recorded usb0
// (its ifindex, 0: none) is the current one, i.e. the watch was started
// again for it, or the package is being installed.
bool cableInCountsAsPlugIn(int recordedIfindex, int currentIfindex, bool dpkgMarkerFresh);

// The client unit as systemd shows it (ActiveState and SubState told apart).
enum class UnitState {
    kUnknown,
    kInactive,
    kFailed,
    kRunning,    // activating (start), active, reloading, deactivating: its process is there
    kRestarting, // activating/auto-restart: it ended, systemd starts it again
};
struct ClientLook {
    UnitState state = UnitState::kUnknown;
    long pid = 0;   // ExecMainPID: its last main process, kept after it ended
    int code = 0;   // ExecMainCode: a CLD_ code (exited, killed, dumped)
    int status = 0; // ExecMainStatus: the exit status or the signal
    bool job = false;
};
UnitState unitState(const char *activeState, const char *subState);

// What the status and the NOTICE lines tell.
enum class News {
    kNone,
    kStarting,     // the target's start job is queued
    kStarted,      // a client process runs
    kWasRunning,   // a client ran at the plug-in: it starts its handshake again
    kStartedAgain, // the client ended after its final report; a fresh one runs
    kRestarted,    // systemd started the client again after it failed
    kEnded,        // the client ended (how: end.state; cause and copies)
    kRestarting,   // the client ended and systemd starts it again
    kNotStarted,   // the start job is done and no client came: disabled
    kStartRefused, // systemd refused the start, or its job did not end "done" (detail)
    kNoBus,        // systemd's socket could not be reached (detail)
    kInBefore,     // a cable in at the watch's start that counts as no plug-in (detail: why)
};
struct Told {
    News news = News::kNone;
    ClientLook end;       // the client at its end (kEnded, kRestarting)
    time_t endedAt = 0;   // when that was seen
    DeployRecord record;  // the deployment record then
    const char *detail{}; // kStartRefused, kNoBus, kInBefore
};

// The NOTICE line's text for what is told (without the times of day but the
// end's). Returns out's data.
const char *newsText(const Told &told, std::span<char> out);

// The status: "cable in since HH:MM:SS: <news>" while the cable is in,
// "waiting for the cable (usb0 carrier down)" then "; last plug-in at
// HH:MM:SS: <news>" once there was one. since: the plug-in's time (0: none).
const char *statusText(bool cableIn, time_t since, const Told &told, std::span<char> out);

// A followed deployment: from a plug-in until the client is inactive with no
// job pending.
struct Follow {
    bool on = false;
    bool ranAtPlugIn = false;  // the client was running at the plug-in
    long pidAtPlugIn = 0;      // its ExecMainPID then
    double plugInAt = 0;       // CLOCK_MONOTONIC seconds of the plug-in
    bool again = false;        // the target was started again after a final report
    bool startPending = false; // the target's start job has not ended yet
    long toldPid = 0;          // the client process last told as running
    bool restarting = false;   // systemd restarts the client
};

// What a look at the client leads to: go on following, start the target
// again (a plug-in that fell into the final report), or stop following.
enum class Step { kFollow, kStartAgain, kDone };
struct Verdict {
    Step step = Step::kFollow;
    News news = News::kNone;
};
// record: the deployment record as it is now. Updates follow.
Verdict followClient(Follow &follow, const ClientLook &client, const DeployRecord &record);
