// The deployment record: what the last (or the running) deployment of this
// boot came to, left by the client for fleet tools (read over ssh) and for
// the cable watch. One small text file of KEY=VALUE lines:
//
//   /run/robot-client/deployment        (mode 0600, root's; gone at reboot)
//
//   format=1                 this layout; a reader skips keys it does not know
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
//   copy_app=ok              /robot/app's copy: ok, none (not run), or the
//   copy_ai=exit 255         copy's exit status as "exit N"
//   carrier_ups=0            handshake restarts by a carrier that came up
//   dropped_connections=0    handshake restarts by a new connection after the
//                            manager's went away
//   usb0_carrier_up_count=3  the kernel's count of usb0's carrier-ups
//                            (link_query.h) when the handshake last
//                            (re)started: the client's start, or the
//                            carrier-up it restarted on. The cable watch
//                            compares it with a plug-in's own count to
//                            tell whether the client saw that plug-in.
//
// The client writes it at its start (state=running, so that a client that
// is killed is never read as the one before it), at every handshake
// restart and copy, and at its end. Each write replaces the file whole
// (a temporary file renamed over it), so a reader never sees half of one.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "record/run_paths.h"

constexpr int kDeployRecordFormat = 1;

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
};

// The record's state word ("running", ...), and back (kUnknown for any other).
const char *deployStateWord(DeployState state);
DeployState deployStateFromWord(std::string_view word);

// The record as its file holds it, into out (NUL-terminated): its length,
// or -1 when it does not fit.
int formatDeployRecord(const DeployRecord &record, std::span<char> out);

// Reads a record's text; kUnknown state when it has no known format line.
DeployRecord parseDeployRecord(std::string_view text);

// Replaces path with the record (mode 0600, atomically): 0, or -errno.
int writeDeployRecord(const char *path, const DeployRecord &record);

// The record at path; kUnknown state when there is none or it cannot be read.
DeployRecord readDeployRecord(const char *path);

// CLOCK_MONOTONIC now, in seconds: the record's clock.
double monotonicSeconds();
