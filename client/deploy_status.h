// How the deployment stands and how it ended, told three ways: the step to
// systemd (STATUS=, shown by `systemctl status robot-client`), one
// summary line in the log at the end, and the deployment record
// (deploy_record.h) for fleet tools and the cable watch.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>

#include "client/state.h"
#include "record/deploy_record.h"

// Why the tick cannot talk to the manager now.
enum class Waiting : uint8_t {
    kNo,
    kNoUsb0,    // there is no usb0
    kNoAddress, // usb0 lacks the client's address (being brought up)
    kConnect,   // the connect failed; its errno says why
    kClosed,    // the manager's connection went away
};

// Which copy runs now.
enum class Copying : uint8_t { kNone, kApp, kAi };

// What the step's text is made of.
struct StepFacts {
    SysState state = SYS_STATE_IDLE;
    Waiting waiting = Waiting::kNo;
    int connectError = 0; // for kConnect
    Copying copying = Copying::kNone;
    time_t runningSince = 0; // wall clock when RUNNING began
};

// The step's status text into out (NUL-terminated): out's data.
const char *deployStepText(const StepFacts &facts, std::span<char> out);

// How the deployment in record ended, its time and copies and restarts, in
// one text (the final status; the summary line after "deployment ended: ").
const char *deploySummaryText(const DeployRecord &record, std::span<char> out);

// The summary line's level: WARN when a copy failed, else NOTICE.
int deploySummaryLevel(const DeployRecord &record);

// The client's exit status at the end in record: kExitCopyFailed when a copy
// of the round that ended failed, unless it was stopped (SIGINT); else 0.
int deployExitStatus(const DeployRecord &record);

// ---- The running client's account ------------------------------------------
// Kept in memory always; told to systemd and written to kDeployRecordPath
// and kLastDeploymentPath only once deployBegin ran (main does; tests of the
// routines touch nothing).

// Starts the account: the record (state=running) and the first status.
void deployBegin();

// The status for the current state and facts, sent when its text changed.
void deployReportStep();

// Why the manager cannot be reached now (kNo: it can).
void deployWaiting(Waiting why, int connectError);

// A copy starts (its status), and its wait status once it ended (the record).
void deployCopyStarts(Copying copy);
void deployCopyEnded(Copying copy, int waitStatus);

// The round reached a step; or a state whose entry is one (the manager's
// answers and reports: the run's finish only after its answer).
void deployStep(DeployStep step);
void deployStateReached(SysState state);

// usb0's carrier came up (the kernel's carrier-up count then): the
// handshake starts over, a restart when it had begun (a connection or a
// state past IDLE).
void deployCarrierUp(bool begun, uint32_t carrierUpCount);

// A connection to the manager was made (restarting the handshake, or not: a
// send's own connect), or the one there was went away. Only a connection
// that restarts the handshake after a lost one counts as a restart.
void deployConnected(bool restarts);
void deployConnectionDropped();

// The connection went away after the manager's sys_run_finish.
void deployManagerHungUp();

// The end: the record, the summary line and the final status. Returns the
// exit status (deployExitStatus).
int deployEnd(DeployState how);
