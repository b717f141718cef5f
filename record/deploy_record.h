// The deployment record: what the last (or the running) deployment came
// to, left by the client for fleet tools (read over ssh) and for the cable
// watch. One small text file of KEY=VALUE lines, kept twice:
//
//   /run/robot-client/deployment              this boot's (gone at reboot)
//   /var/lib/robot-client/last-deployment     the same, kept across reboots
//                                             (synced with its folder)
//
// both mode 0644 (they hold no secret). A shell reads it with `.`: a value
// with a blank comes in double quotes (copy_ai="exit 255").
//
//   format=1                 this layout. Within it keys are only added and
//                            values never change meaning; a reader skips
//                            keys it does not know
//   state=running            running | finished | exited | stopped
//                              finished: the manager reported the run finished
//                              exited:   the manager ordered the exit (sys_exit)
//                              stopped:  SIGINT (systemctl stop)
//   pid=1234                 the client process that wrote it
//   handshake_started=12.345678
//                            CLOCK_MONOTONIC seconds when the handshake last
//                            (re)started: the client's start, a carrier-up, a
//                            new connection after a dropped one
//   ended=0.000000           CLOCK_MONOTONIC seconds of the end (0 while running)
//   copy_app=ok              this round's copy of /robot/app: ok, none (not
//   copy_ai="exit 255"       run), or the copy's exit status as "exit N";
//                            none again when the handshake restarts
//   carrier_ups=0            handshake restarts by a carrier that came up
//   dropped_connections=0    handshake restarts by a new connection after the
//                            manager's went away
//   usb0_carrier_up_count=3  the kernel's count of usb0's carrier-ups
//                            (link_query.h) when the handshake last
//                            (re)started: the client's start, or the
//                            carrier-up it restarted on. The cable watch
//                            compares it with a plug-in's own count to
//                            tell whether the client saw that plug-in.
//   handshake_started_utc=2026-12-07T11:03:21Z
//   ended_utc=               the same two moments by the wall clock (UTC,
//                            ISO 8601); ended_utc empty while running
//   boot_id=0f3c...          the kernel's boot id of the client's boot
//   client_version=1.5.0     the client that wrote it
//   last_step=copied         the last step this round reached: none,
//                            announced, mount_answered, copied (both copies
//                            ran, whatever their result), run_answered,
//                            run_finished (sys_run_finish after
//                            sys_runing; before it the step stays),
//                            exit_ordered
//   manager_hung_up=no       yes: the manager closed the connection after its
//                            sys_run_finish, before the client's final report
//
// The client writes it at its start (state=running, so that a client that
// is killed is never read as the one before it), at every handshake
// restart, step and copy, and at its end. Each write replaces the file whole
// (a temporary file renamed over it), so a reader never sees half of one.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <span>
#include <string_view>

#include "record/run_paths.h"

constexpr int kDeployRecordFormat = 1;
// The client's state folder (the unit's StateDirectory=) and the record kept
// there across reboots.
constexpr const char *kStateDir = "/var/lib/robot-client";
constexpr const char *kLastDeploymentPath = "/var/lib/robot-client/last-deployment";

// How the deployment stands or ended.
enum class DeployState : uint8_t {
    kUnknown, // no record, or one this reader cannot read
    kRunning,
    kFinished, // the manager reported the run finished
    kExited,   // the manager ordered the exit
    kStopped,  // SIGINT
};

// A copy's result: kCopyNotRun, 0 (ok) or the copy's exit status.
constexpr int kCopyNotRun = -1;

// The last step a round of the handshake reached.
enum class DeployStep : uint8_t {
    kNone,
    kAnnounced,     // the client sent "connected"
    kMountAnswered, // the manager answered sys_mount (sys_mountimg)
    kCopied,        // both copies ran, whatever their result
    kRunAnswered,   // the manager answered sys_run (sys_runing)
    kRunFinished,   // the manager reported the run it had answered finished
    kExitOrdered,   // the manager ordered the exit
};

struct DeployRecord {
    DeployState state = DeployState::kUnknown;
    long pid = 0;
    double handshakeStarted = 0; // CLOCK_MONOTONIC seconds
    double ended = 0;            // CLOCK_MONOTONIC seconds, 0 while running
    int copyApp = kCopyNotRun;
    int copyAi = kCopyNotRun;
    int carrierUps = 0;
    int droppedConnections = 0;
    uint32_t usb0CarrierUpCount = 0;
    time_t handshakeStartedUtc = 0; // wall clock of handshakeStarted
    time_t endedUtc = 0;            // wall clock of ended, 0 while running
    std::array<char, 40> bootId{};  // the kernel's boot id
    std::array<char, 24> clientVersion{};
    DeployStep lastStep = DeployStep::kNone;
    bool managerHungUp = false; // the connection went away in the final step
};

// The record's state word ("running", ...), and back (kUnknown for any other).
const char *deployStateWord(DeployState state);
DeployState deployStateFromWord(std::string_view word);

// The record as its file holds it, into out (NUL-terminated): its length,
// or -1 when it does not fit.
int formatDeployRecord(const DeployRecord &record, std::span<char> out);

// Reads a record's text; kUnknown state when it has no known format line.
DeployRecord parseDeployRecord(std::string_view text);

// Replaces path with the record (mode 0644, atomically): 0, or -errno.
// With durable set the file and its folder are synced before it returns.
int writeDeployRecord(const char *path, const DeployRecord &record, bool durable = false);

// The record at path; kUnknown state when there is none or it cannot be read.
DeployRecord readDeployRecord(const char *path);

// CLOCK_MONOTONIC now, in seconds: the record's clock.
double monotonicSeconds();
