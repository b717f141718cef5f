// The cable watch's decisions and what it tells, free of any system call so
// that they are tested in tables: whether a cable already in counts as a
// plug-in, what each look at the client leads to while a deployment is
// followed, and the status texts.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <span>

#include "cable/cable_record.h"
#include "link/link_query.h"
#include "record/deploy_record.h"
#include "record/run_paths.h"

// Started on each plug-in and stopped on each unplug; robot-client.service
// is wanted by it while the client is enabled, and is not stopped with it.
constexpr const char *kPluggedTarget = "robot-client-plugged.target";
constexpr const char *kClientUnit = "robot-client.service";

// At the watch's start with the carrier up: a plug-in unless the last watch
// recorded this very carrier-up of this usb0 (the same index and count, the
// carrier up): a watch started again for it (an upgrade, a crash) starts
// nothing, but one that missed a plug-in while none ran deploys.
bool cableInCountsAsPlugIn(const CableRecord &recorded, const Usb0Link &now);

// The client unit as systemd shows it (ActiveState and SubState told apart).
enum class UnitState {
    kUnknown, // systemd's answer could not be read
    kInactive,
    kFailed,
    kRunning,    // activating (start), active, reloading, deactivating: its process is there
    kRestarting, // activating/auto-restart: it ended, systemd starts it again
};
// Its unit file, as far as a start that brings no client goes.
enum class UnitFile { kOther, kDisabled, kMasked };
struct ClientLook {
    UnitState state = UnitState::kUnknown;
    long pid = 0;   // ExecMainPID: its last main process, kept after it ended
    int code = 0;   // ExecMainCode: a CLD_ code (exited, killed, dumped)
    int status = 0; // ExecMainStatus: the exit status or the signal
    bool job = false;
    UnitFile file = UnitFile::kOther;
};
UnitState unitState(const char *activeState, const char *subState);
UnitFile unitFile(const char *loadState, const char *unitFileState);

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
    kNotStarted,   // the start job is done and no client came: disabled or masked (detail)
    kNoClient,     // the start job is done and no client came, for another reason
    kCancelled,    // the start job was cancelled (an unplug, a shutdown)
    kStartFailed,  // the start job ended otherwise (detail: its result)
    kStartRefused, // systemd refused the start (detail)
    kShuttingDown, // systemd refused it: the system is shutting down
    kNoBus,        // systemd's socket could not be reached (detail)
    kInBefore,     // a carrier-up that counts as no plug-in (detail: why)
};
struct Told {
    News news = News::kNone;
    ClientLook end;       // the client at its end (kEnded, kRestarting)
    time_t endedAt = 0;   // when that was seen
    DeployRecord record;  // the deployment record then
    const char *detail{}; // kStartFailed, kStartRefused, kNoBus, kInBefore
    bool atStart = false; // kInBefore: the cable was in when the watch started
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
    ClientLook atPlugIn;          // the client at the plug-in (kUnknown: it could not be read)
    uint32_t plugInCount = 0;     // the plug-in's carrier-up count
    bool again = false;           // the target was started again after a final report
    bool startPending = false;    // the target's start job has not ended yet
    std::array<char, 16> ended{}; // how that job ended when not "done" ("canceled", "failed", ...)
    long toldPid = 0;             // the client process last told as running
    bool restarting = false;      // systemd restarts the client
};

// What a look at the client leads to: go on following, look again (it
// could not be read), start the target again (a plug-in that fell into the
// final report), or stop following.
enum class Step { kFollow, kLookAgain, kStartAgain, kDone };
struct Verdict {
    Step step = Step::kFollow;
    News news = News::kNone;
};
// record: the deployment record as it is now. Updates follow.
Verdict followClient(Follow &follow, const ClientLook &client, const DeployRecord &record);
