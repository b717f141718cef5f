#include "client/deploy_status.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "client/client_log.h"
#include "client/manager_link.h"
#include "client/service_notify.h"
#include "client/shell.h"
#include "client/usb0.h"
#include "client/util.h"
#include "link/link_watch.h"
#include "record/exit_status.h"

namespace {

// Room for any status text or summary.
constexpr size_t kTextMax = 320;
constexpr const char *kBootIdPath = "/proc/sys/kernel/random/boot_id";

const char *waitingText(Waiting why, int connectError)
{
    switch (why) {
    case Waiting::kNoUsb0:
        return "there is no usb0";
    case Waiting::kNoAddress:
        return "usb0 has no address 10.10.10.1 yet";
    case Waiting::kClosed:
        return "the manager closed the connection";
    case Waiting::kConnect:
        if (connectError == ECONNREFUSED)
            return "connection refused";
        if (connectError == ETIMEDOUT)
            return "no answer within 6 s";
        if (connectError == ENODEV)
            return "there is no usb0";
        return strerror(connectError);
    case Waiting::kNo:
        break;
    }
    return "";
}

const char *stateStepText(SysState state)
{
    switch (state) {
    case SYS_STATE_CONNECTED:
    case SYS_STATE_MOUNTING: // the copies start at the next tick
        return "mount asked";
    case SYS_STATE_MOUNT_FINISH:
        return "run asked";
    case SYS_STATE_RUN_FINISH:
        return "final report";
    default:
        return "announcing to the manager";
    }
}

// One copy's part of the summary.
void copyText(const char *what, int result, std::span<char> out)
{
    if (result == 0)
        snprintf(out.data(), out.size(), "copy of %s ok", what);
    else if (result == kCopyNotRun)
        snprintf(out.data(), out.size(), "copy of %s not run", what);
    else
        snprintf(out.data(), out.size(), "copy of %s failed (exit status %d)", what, result);
}

// The record's value for a copy's wait status. No shell that started counts
// as the shell's own status for a command it could not run.
int copyResult(int waitStatus)
{
    if (waitStatus == 0)
        return 0;
    const int status = shellExitStatus(waitStatus);
    return status > 0 ? status : 127;
}

} // namespace

const char *deployStepText(const StepFacts &facts, std::span<char> out)
{
    if (facts.copying != Copying::kNone) {
        snprintf(out.data(), out.size(), "copying %s",
                 facts.copying == Copying::kApp ? "/robot/app" : "/robot/AI");
    } else if (facts.waiting != Waiting::kNo) {
        snprintf(out.data(), out.size(), "waiting for the manager at %s:%d: %s", kManagerIp, kManagerPort,
                 waitingText(facts.waiting, facts.connectError));
    } else if (facts.state == SYS_STATE_RUNNING) {
        tm local{};
        localtime_r(&facts.runningSince, &local);
        snprintf(out.data(), out.size(), "running since %02d:%02d:%02d", local.tm_hour, local.tm_min,
                 local.tm_sec);
    } else {
        snprintf(out.data(), out.size(), "%s", stateStepText(facts.state));
    }
    return out.data();
}

const char *deploySummaryText(const DeployRecord &record, std::span<char> out)
{
    const char *how = "still running";
    if (record.state == DeployState::kFinished)
        how = "run finished";
    else if (record.state == DeployState::kExited)
        how = "exit ordered by the manager";
    else if (record.state == DeployState::kStopped)
        how = "stopped (SIGINT)";
    const double took = record.ended > record.handshakeStarted ? record.ended - record.handshakeStarted : 0;

    std::array<char, 112> copies{};
    if (record.copyApp == 0 && record.copyAi == 0) {
        snprintf(copies.data(), copies.size(), "copies ok");
    } else if (record.copyApp == kCopyNotRun && record.copyAi == kCopyNotRun) {
        snprintf(copies.data(), copies.size(), "no copy ran");
    } else {
        std::array<char, 48> app{};
        std::array<char, 48> ai{};
        copyText("/robot/app", record.copyApp, app);
        copyText("/robot/AI", record.copyAi, ai);
        snprintf(copies.data(), copies.size(), "%s, %s", app.data(), ai.data());
    }
    snprintf(out.data(), out.size(),
             "%s after %ld s; %s; handshake restarts: %d by carrier-up, %d by dropped connection%s", how,
             static_cast<long>(took), copies.data(), record.carrierUps, record.droppedConnections,
             record.managerHungUp ? "; the manager hung up before the final report" : "");
    return out.data();
}

int deploySummaryLevel(const DeployRecord &record)
{
    return record.copyApp > 0 || record.copyAi > 0 ? kLevelWarn : kLevelNotice;
}

int deployExitStatus(const DeployRecord &record)
{
    const bool failed = record.copyApp > 0 || record.copyAi > 0;
    return failed && record.state != DeployState::kStopped ? kExitCopyFailed : kExitOk;
}

// ---- The running client's account ------------------------------------------

namespace {

DeployRecord s_record;
bool s_begun = false;
bool s_dropped = false; // the connection went away; the next one restarts
StepFacts s_facts;
// The status last sent: only a change is sent again (an idle tick makes no
// system call of its own).
std::array<char, kTextMax> s_told{};

// Where the record is written: this boot's, and the one kept across reboots
// (synced: boards lose power). A failed write is told once for each.
struct RecordFile {
    const char *path;
    bool durable;
    bool warned;
};
std::array<RecordFile, 2> s_files = {{{kDeployRecordPath, false, false}, {kLastDeploymentPath, true, false}}};

void saveRecord()
{
    if (!s_begun)
        return;
    for (auto &file : s_files) {
        const int err = writeDeployRecord(file.path, s_record, file.durable);
        if (err != 0 && !file.warned) {
            file.warned = true;
            CLIENT_LOG(kLevelWarn, "cannot write the deployment record %s: %s\n", file.path, strerror(-err));
        }
    }
}

// A round of the handshake begins: its start, and nothing of the round
// before (copies, step).
void newRound()
{
    s_record.handshakeStarted = monotonicSeconds();
    s_record.handshakeStartedUtc = time(nullptr);
    s_record.copyApp = s_record.copyAi = kCopyNotRun;
    s_record.lastStep = DeployStep::kNone;
    s_record.managerHungUp = false;
}

void tellStatus(const char *text)
{
    if (!s_begun || strcmp(text, s_told.data()) == 0)
        return;
    snprintf(s_told.data(), s_told.size(), "%s", text);
    notifyStatus(text);
}

} // namespace

void deployBegin()
{
    s_begun = true;
    s_record.state = DeployState::kRunning;
    s_record.pid = getpid();
    newRound();
    snprintf(s_record.clientVersion.data(), s_record.clientVersion.size(), "%s", RC_VERSION);
    // The boot id's line, without its line end.
    readFile(kBootIdPath, s_record.bootId.data(), s_record.bootId.size() - 1);
    s_record.bootId[strcspn(s_record.bootId.data(), "\n")] = '\0';
    // The unit makes the folder (StateDirectory=); a client run by hand may
    // find none.
    mkdir(kStateDir, 0755);
    // The plug-in that started this client, as far as it can know.
    s_record.usb0CarrierUpCount = usb0CarrierUpCount();
    saveRecord();
    deployReportStep();
}

void deployReportStep()
{
    s_facts.state = getSysState();
    if (s_facts.state != SYS_STATE_RUNNING)
        s_facts.runningSince = 0;
    else if (s_facts.runningSince == 0)
        s_facts.runningSince = time(nullptr);
    std::array<char, kTextMax> text{};
    tellStatus(deployStepText(s_facts, text));
}

void deployWaiting(Waiting why, int connectError)
{
    s_facts.waiting = why;
    s_facts.connectError = connectError;
}

void deployCopyStarts(Copying copy)
{
    s_facts.copying = copy;
    deployReportStep();
}

void deployCopyEnded(Copying copy, int waitStatus)
{
    s_facts.copying = Copying::kNone;
    (copy == Copying::kApp ? s_record.copyApp : s_record.copyAi) = copyResult(waitStatus);
    saveRecord();
}

void deployStep(DeployStep step)
{
    if (s_record.lastStep == step)
        return;
    s_record.lastStep = step;
    saveRecord();
}

void deployStateReached(SysState state)
{
    if (state == SYS_STATE_MOUNTING)
        deployStep(DeployStep::kMountAnswered);
    else if (state == SYS_STATE_RUNNING)
        deployStep(DeployStep::kRunAnswered);
    else if (state == SYS_STATE_RUN_FINISH && s_record.lastStep == DeployStep::kRunAnswered)
        deployStep(DeployStep::kRunFinished); // a run that was never answered did not finish
}

void deployCarrierUp(bool begun, uint32_t carrierUpCount)
{
    newRound();
    s_record.usb0CarrierUpCount = carrierUpCount;
    if (begun)
        ++s_record.carrierUps;
    saveRecord();
}

void deployConnected(bool restarts)
{
    s_facts.waiting = Waiting::kNo;
    if (!s_dropped)
        return;
    s_dropped = false;
    if (!restarts)
        return;
    newRound();
    ++s_record.droppedConnections;
    saveRecord();
}

void deployConnectionDropped()
{
    s_dropped = true;
    s_facts.waiting = Waiting::kClosed;
}

void deployManagerHungUp()
{
    s_record.managerHungUp = true;
    saveRecord();
}

int deployEnd(DeployState how)
{
    s_record.state = how;
    s_record.ended = monotonicSeconds();
    s_record.endedUtc = time(nullptr);
    saveRecord();
    std::array<char, kTextMax> text{};
    deploySummaryText(s_record, text);
    CLIENT_LOG(deploySummaryLevel(s_record), "deployment ended: %s\n", text.data());
    tellStatus(text.data());
    return deployExitStatus(s_record);
}
