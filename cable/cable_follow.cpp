#include "cable/cable_follow.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "record/exit_status.h"

namespace {

const char *clock(time_t at, std::span<char> out)
{
    struct tm local {};
    localtime_r(&at, &local);
    strftime(out.data(), out.size(), "%H:%M:%S", &local);
    return out.data();
}

// How the client's main process ended: "exit status N" or "killed by SIGX".
const char *cause(const ClientLook &end, std::span<char> out)
{
    if (end.code == CLD_KILLED || end.code == CLD_DUMPED) {
        const char *name = sigabbrev_np(end.status);
        snprintf(out.data(), out.size(), "killed by SIG%s", name != nullptr ? name : "?");
    } else {
        snprintf(out.data(), out.size(), "exit status %d%s", end.status,
                 end.status == kExitLocked       ? ": another robot-client is running"
                 : end.status == kExitCopyFailed ? ": a copy failed"
                                                 : "");
    }
    return out.data();
}

const char *copyText(int result, std::span<char> out)
{
    if (result == kCopyNotRun)
        return "not run";
    if (result == 0)
        return "ok";
    snprintf(out.data(), out.size(), "exit %d", result);
    return out.data();
}

// The copies' results as the client's record of that process tells them.
const char *copies(const DeployRecord &record, long pid, std::span<char> out)
{
    std::array<char, 16> app{};
    std::array<char, 16> ai{};
    if (record.state == DeployState::kUnknown || record.pid != pid)
        snprintf(out.data(), out.size(), "copies: no record of it");
    else if (record.copyApp == 0 && record.copyAi == 0)
        snprintf(out.data(), out.size(), "copies: both ok");
    else
        snprintf(out.data(), out.size(), "copies: app %s, AI %s", copyText(record.copyApp, app),
                 copyText(record.copyAi, ai));
    return out.data();
}

} // namespace

bool cableInCountsAsPlugIn(const CableRecord &recorded, const Usb0Link &now)
{
    return !(recorded.carrierUp && recorded.ifindex == now.ifindex &&
             recorded.carrierUpCount == now.carrierUpCount);
}

UnitState unitState(const char *activeState, const char *subState)
{
    const std::string_view active(activeState);
    if (active == "inactive")
        return UnitState::kInactive;
    if (active == "failed")
        return UnitState::kFailed;
    if (active == "activating" && std::string_view(subState) == "auto-restart")
        return UnitState::kRestarting;
    if (active == "activating" || active == "active" || active == "reloading" || active == "deactivating")
        return UnitState::kRunning;
    return UnitState::kUnknown;
}

UnitFile unitFile(const char *loadState, const char *unitFileState)
{
    const std::string_view file(unitFileState);
    if (std::string_view(loadState) == "masked" || file.starts_with("masked"))
        return UnitFile::kMasked;
    return file == "disabled" ? UnitFile::kDisabled : UnitFile::kOther;
}

const char *newsText(const Told &told, std::span<char> out)
{
    std::array<char, 16> at{};
    std::array<char, 64> how{};
    std::array<char, 64> copied{};
    switch (told.news) {
    case News::kStarting:
        snprintf(out.data(), out.size(), "start of %s queued", kPluggedTarget);
        break;
    case News::kStarted:
        snprintf(out.data(), out.size(), "%s started", kClientUnit);
        break;
    case News::kWasRunning:
        snprintf(out.data(), out.size(), "%s was running; it starts the handshake again", kClientUnit);
        break;
    case News::kStartedAgain:
        snprintf(out.data(), out.size(), "%s started again after its final report", kClientUnit);
        break;
    case News::kRestarted:
        snprintf(out.data(), out.size(), "%s started again by systemd", kClientUnit);
        break;
    case News::kEnded:
    case News::kRestarting:
        snprintf(out.data(), out.size(), "%s %s at %s (%s)%s; %s", kClientUnit,
                 told.end.state == UnitState::kFailed ? "failed" : "ended", clock(told.endedAt, at),
                 cause(told.end, how), told.news == News::kRestarting ? "; restarting" : "",
                 copies(told.record, told.end.pid, copied));
        break;
    case News::kNotStarted:
        snprintf(out.data(), out.size(), "%s is %s; nothing started", kClientUnit,
                 told.end.file == UnitFile::kMasked ? "masked" : "disabled");
        break;
    case News::kNoClient:
        snprintf(out.data(), out.size(), "no client started for this plug-in; plug in again to deploy");
        break;
    case News::kCancelled:
        snprintf(out.data(), out.size(), "start of %s cancelled; plug in again to deploy", kPluggedTarget);
        break;
    case News::kStartFailed:
        snprintf(out.data(), out.size(), "%s not started: its start job ended %s; plug in again to deploy",
                 kPluggedTarget, told.detail);
        break;
    case News::kStartRefused:
        snprintf(out.data(), out.size(), "%s not started: %s; plug in again to deploy", kPluggedTarget,
                 told.detail);
        break;
    case News::kShuttingDown:
        snprintf(out.data(), out.size(), "%s not started: the system is shutting down", kPluggedTarget);
        break;
    case News::kNoBus:
        snprintf(out.data(), out.size(), "cannot reach systemd: %s; plug in again to deploy", told.detail);
        break;
    case News::kInBefore:
        snprintf(out.data(), out.size(), "no deployment started (%s); plug in again to deploy", told.detail);
        break;
    case News::kNone:
        snprintf(out.data(), out.size(), "%s", "");
        break;
    }
    return out.data();
}

const char *statusText(bool cableIn, time_t since, const Told &told, std::span<char> out)
{
    std::array<char, 16> at{};
    std::array<char, 224> what{};
    newsText(told, what);
    if (cableIn && told.news == News::kInBefore && told.atStart)
        snprintf(out.data(), out.size(), "cable in since before %s (when this watch started): %s",
                 clock(since, at), what.data());
    else if (cableIn)
        snprintf(out.data(), out.size(), "cable in since %s: %s", clock(since, at), what.data());
    else if (since == 0 || told.news == News::kNone)
        snprintf(out.data(), out.size(), "waiting for the cable (usb0 carrier down)");
    else
        snprintf(out.data(), out.size(), "waiting for the cable (usb0 carrier down); last plug-in at %s: %s",
                 clock(since, at), what.data());
    return out.data();
}

Verdict followClient(Follow &follow, const ClientLook &client, const DeployRecord &record)
{
    switch (client.state) {
    case UnitState::kUnknown:
        return {Step::kLookAgain};
    case UnitState::kRunning: {
        if (client.pid == 0 || client.pid == follow.toldPid)
            return {};
        const News news = follow.restarting ? News::kRestarted
                          : follow.again    ? News::kStartedAgain
                                            : News::kStarted;
        follow.toldPid = client.pid;
        follow.restarting = false;
        return {Step::kFollow, news};
    }
    case UnitState::kRestarting:
        follow.restarting = true;
        return {Step::kFollow, News::kRestarting};
    case UnitState::kInactive:
    case UnitState::kFailed:
        break;
    }
    if (client.job || follow.startPending)
        return {};
    const bool known = follow.atPlugIn.state != UnitState::kUnknown;
    const bool ran = follow.atPlugIn.state == UnitState::kRunning;
    const bool sameProcess = known && client.pid == follow.atPlugIn.pid;
    // Whether that process saw the plug-in: its record keeps the count of the
    // carrier-up it last restarted on, or of the last one before its start.
    // A record without a count (a client older than the count) is taken for
    // one that saw it.
    const bool itsRecord = record.state != DeployState::kUnknown && record.pid == client.pid;
    const bool missed =
        itsRecord && record.usb0CarrierUpCount != 0 && record.usb0CarrierUpCount < follow.plugInCount;
    // The client that ran at the plug-in ended without having seen it (it was
    // in its final report): a fresh one deploys. Not when the lock refused it
    // (it would be again), nor when it was stopped (by hand, at shutdown).
    const bool locked = client.code == CLD_EXITED && client.status == kExitLocked;
    if (ran && sameProcess && missed && !follow.again && !locked && record.state != DeployState::kStopped)
        return {Step::kStartAgain};
    if (known ? !sameProcess || ran : itsRecord && !missed)
        return {Step::kDone, News::kEnded};
    // No client came for the plug-in.
    if (follow.ended[0] != '\0')
        return {Step::kDone,
                std::string_view(follow.ended.data()) == "canceled" ? News::kCancelled : News::kStartFailed};
    return {Step::kDone, client.file != UnitFile::kOther ? News::kNotStarted : News::kNoClient};
}
