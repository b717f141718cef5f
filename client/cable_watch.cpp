#include "client/cable_watch.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>

#include "client/link_query.h"
#include "client/link_watch.h"
#include "client/shell.h"
#include "client/usb0.h"
#include "log/log.h"
#include "net/fd_guard.h"

// Every line the watch logs names "cableWatch" as its source.
#define CABLE_LOG(level, ...) logPrint("cableWatch", __func__, __LINE__, (level), __VA_ARGS__)

namespace {

// The client's exit status when another robot-client holds its lock.
constexpr int kExitLocked = 1;

// ---- Reading what systemctl shows -----------------------------------------

UnitState stateOf(std::string_view active, std::string_view sub)
{
    if (active == "inactive")
        return UnitState::kInactive;
    if (active == "failed")
        return UnitState::kFailed;
    if (active == "deactivating")
        return UnitState::kStopping;
    if (active == "activating")
        return sub.starts_with("auto-restart") ? UnitState::kRestarting : UnitState::kStarting;
    if (active == "active" || active == "reloading")
        return UnitState::kActive;
    return UnitState::kUnknown;
}

long long number(std::string_view text)
{
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Cuts text at the first sep: what comes before it; text keeps what
// follows (nothing when there is no sep). Nothing here may throw: the
// watch does without the C++ library.
std::string_view cut(std::string_view &text, char sep)
{
    const size_t at = text.find(sep);
    const std::string_view head(text.data(), at == std::string_view::npos ? text.size() : at);
    text.remove_prefix(at == std::string_view::npos ? text.size() : at + 1);
    return head;
}

// A word of a space-separated list.
bool listHas(std::string_view list, std::string_view word)
{
    while (!list.empty()) {
        if (cut(list, ' ') == word)
            return true;
    }
    return false;
}

// A running client: its process is there.
bool running(const UnitLook &client)
{
    return client.state == UnitState::kStarting || client.state == UnitState::kActive ||
           client.state == UnitState::kStopping;
}

bool failed(const UnitLook &client)
{
    return client.state == UnitState::kFailed || client.state == UnitState::kRestarting;
}

// ---- Telling ---------------------------------------------------------------

// Tells the service manager (Type=notify) that the watch is ready and how
// things stand, for `systemctl status`; nothing without NOTIFY_SOCKET.
void notifyStatus(const char *status)
{
    const char *path = getenv("NOTIFY_SOCKET");
    sockaddr_un addr{};
    if (path == nullptr || (path[0] != '/' && path[0] != '@') || strlen(path) >= sizeof(addr.sun_path))
        return;
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, strlen(path));
    if (addr.sun_path[0] == '@') // an abstract socket
        addr.sun_path[0] = '\0';
    std::array<char, 256> message{};
    snprintf(message.data(), message.size(), "READY=1\nSTATUS=%s", status);
    const FdGuard fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sendto(fd.get(), message.data(), strlen(message.data()), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr *>(&addr),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strlen(path)));
}

// When the cable came in, and what the status tells now.
time_t s_since = 0;
CableNews s_told = CableNews::kNone;
int s_toldStatus = 0;

// Tells news once: the status, and a NOTICE line (a refused start has its
// ERR line already).
void tell(CableNews news, int exitStatus)
{
    if (news == CableNews::kNone || (news == s_told && exitStatus == s_toldStatus))
        return;
    s_told = news;
    s_toldStatus = exitStatus;
    std::array<char, 160> text{};
    if (news != CableNews::kStartFailed)
        CABLE_LOG(kLevelNotice, "%s\n", cableNewsText(news, exitStatus, text));
    notifyStatus(cableStatusText(news, exitStatus, s_since, text));
}

void tellWaiting()
{
    s_told = CableNews::kNone;
    notifyStatus("waiting for the cable (usb0 carrier down)");
}

// ---- Asking systemctl ------------------------------------------------------

// Runs `systemctl show` for unit: what it tells, or kUnknown (logged).
UnitLook look(const char *unit)
{
    std::array<char, 192> cmd{};
    snprintf(cmd.data(), cmd.size(),
             "systemctl show -p ActiveState -p SubState -p ExecMainPID -p ExecMainCode -p ExecMainStatus "
             "-p Wants -p ActiveEnterTimestampMonotonic %s",
             unit);
    std::array<char, 1024> text{};
    const int status = runShellRead(cmd.data(), text);
    if (status != 0) {
        CABLE_LOG(kLevelErr, "%s failed with exit status %d\n", cmd.data(), shellExitStatus(status));
        return {};
    }
    return parseUnitLook(text.data());
}

// systemctl VERB [--no-block] kPluggedTarget: its exit status (ERR logged
// when not 0).
int systemctl(const char *verb, bool wait)
{
    std::array<char, 96> cmd{};
    snprintf(cmd.data(), cmd.size(), "systemctl %s%s %s", verb, wait ? "" : " --no-block", kPluggedTarget);
    const int status = shellExitStatus(runShell(cmd.data()));
    if (status != 0)
        CABLE_LOG(kLevelErr, "%s failed with exit status %d\n", cmd.data(), status);
    return status;
}

// Stops the target first when it is (or may be) active, and waits for that,
// so that the start pulls the client in again: the start's exit status.
int startTarget(bool stopFirst)
{
    if (stopFirst)
        systemctl("stop", true);
    return systemctl("start", false);
}

// ---- Following a plug-in ---------------------------------------------------

Follow s_follow;
long long s_followEndMs = 0;
long long s_nextLookMs = 0;

long long nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void follow(const Follow &how)
{
    s_follow = how;
    s_followEndMs = nowMs() + kFollowMs;
    s_nextLookMs = nowMs() + kLookEveryMs;
}

void pluggedIn(const UnitLook &target)
{
    s_since = time(nullptr);
    s_told = CableNews::kNone;
    CABLE_LOG(kLevelNotice, "usb0 carrier up: the cable is in; starting %s\n", kPluggedTarget);
    const PlugInPlan plan = planPlugIn(target, look(kClientUnit));
    if (const int status = startTarget(plan.stopFirst); status != 0) {
        s_follow = {};
        tell(CableNews::kStartFailed, status);
        return;
    }
    tell(plan.news, 0);
    if (plan.follow.mode == FollowMode::kOff)
        s_follow = {};
    else
        follow(plan.follow);
}

void unplugged()
{
    CABLE_LOG(kLevelNotice, "usb0 carrier down: waiting for the cable\n");
    s_follow = {};
    systemctl("stop", false);
    tellWaiting();
}

void lookAtClient()
{
    const long long now = nowMs();
    const UnitLook client = look(kClientUnit);
    const FollowVerdict verdict = followClient(s_follow, client, now >= s_followEndMs);
    tell(verdict.news, verdict.exitStatus);
    switch (verdict.step) {
    case FollowStep::kWatch:
        s_nextLookMs = now + kLookEveryMs;
        break;
    case FollowStep::kDone:
        s_follow = {};
        break;
    case FollowStep::kStartAgain:
        CABLE_LOG(kLevelNotice,
                  "%s ended without having seen the plug-in (its final report); starting %s again\n",
                  kClientUnit, kPluggedTarget);
        if (const int status = startTarget(look(kPluggedTarget).state != UnitState::kInactive); status != 0) {
            s_follow = {};
            tell(CableNews::kStartFailed, status);
            break;
        }
        follow({FollowMode::kStarting, client.mainPid, true, false});
        break;
    }
}

// The cable was in before this watch started and counts as no plug-in:
// since when, as far as the target's start tells it.
void inBefore(const UnitLook &target)
{
    const time_t now = time(nullptr);
    timespec mono{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    const long long monoUs = static_cast<long long>(mono.tv_sec) * 1000000 + mono.tv_nsec / 1000;
    const bool targetUp = !cableInCountsAsPlugIn(target, false);
    const bool known = targetUp && target.activeSinceUs > 0 && target.activeSinceUs <= monoUs;
    s_since = known ? now - static_cast<time_t>((monoUs - target.activeSinceUs) / 1000000) : now;
    s_follow = {};
    CABLE_LOG(kLevelNotice, "usb0 carrier up since before this watch started (%s): no deployment started\n",
              targetUp ? "robot-client-plugged.target is active" : "usb0 has the client's address");
    s_told = known ? CableNews::kInBefore : CableNews::kInBeforeWatch;
    std::array<char, 160> text{};
    notifyStatus(cableStatusText(s_told, 0, s_since, text));
}

} // namespace

// ---- Decisions -------------------------------------------------------------

UnitLook parseUnitLook(const char *text)
{
    UnitLook look;
    std::string_view active;
    std::string_view sub;
    long long code = 0;
    long long status = 0;
    for (std::string_view rest(text); !rest.empty();) {
        std::string_view value = cut(rest, '\n');
        if (value.find('=') == std::string_view::npos)
            continue;
        const std::string_view key = cut(value, '=');
        if (key == "ActiveState")
            active = value;
        else if (key == "SubState")
            sub = value;
        else if (key == "Wants")
            look.wantsClient = listHas(value, kClientUnit);
        else if (key == "ExecMainPID")
            look.mainPid = static_cast<long>(number(value));
        else if (key == "ExecMainCode")
            code = number(value);
        else if (key == "ExecMainStatus")
            status = number(value);
        else if (key == "ActiveEnterTimestampMonotonic")
            look.activeSinceUs = number(value);
    }
    look.state = stateOf(active, sub);
    // ExecMainCode is a CLD_ code: exited, or killed or dumped by a signal.
    look.exitStatus = static_cast<int>(code == CLD_KILLED || code == CLD_DUMPED ? 128 + status : status);
    return look;
}

const char *cableNewsText(CableNews news, int exitStatus, std::span<char> out)
{
    switch (news) {
    case CableNews::kStarted:
        snprintf(out.data(), out.size(), "%s started", kClientUnit);
        break;
    case CableNews::kDisabled:
        snprintf(out.data(), out.size(), "%s is disabled; nothing started", kClientUnit);
        break;
    case CableNews::kWasRunning:
        snprintf(out.data(), out.size(), "%s was running; it starts the handshake again", kClientUnit);
        break;
    case CableNews::kFailed:
        snprintf(out.data(), out.size(), "%s failed (exit status %d%s)", kClientUnit, exitStatus,
                 exitStatus == kExitLocked ? ": another robot-client is running" : "");
        break;
    case CableNews::kStartFailed:
        snprintf(out.data(), out.size(), "systemctl start failed (exit status %d)", exitStatus);
        break;
    case CableNews::kStartedAgain:
        snprintf(out.data(), out.size(), "%s started again after its final report", kClientUnit);
        break;
    case CableNews::kNotStarted:
        snprintf(out.data(), out.size(), "%s did not start", kClientUnit);
        break;
    case CableNews::kInBefore:
    case CableNews::kInBeforeWatch:
        snprintf(out.data(), out.size(), "no deployment started");
        break;
    case CableNews::kNone:
        snprintf(out.data(), out.size(), "%s", "");
        break;
    }
    return out.data();
}

const char *cableStatusText(CableNews news, int exitStatus, time_t since, std::span<char> out)
{
    struct tm local {};
    localtime_r(&since, &local);
    std::array<char, 16> clock{};
    strftime(clock.data(), clock.size(), "%H:%M:%S", &local);
    std::array<char, 128> what{};
    cableNewsText(news, exitStatus, what);
    if (news == CableNews::kInBefore)
        snprintf(out.data(), out.size(), "cable in since %s (before this watch started): %s", clock.data(),
                 what.data());
    else if (news == CableNews::kInBeforeWatch)
        snprintf(out.data(), out.size(), "cable in since before %s (when this watch started): %s",
                 clock.data(), what.data());
    else
        snprintf(out.data(), out.size(), "cable in since %s: %s", clock.data(), what.data());
    return out.data();
}

PlugInPlan planPlugIn(const UnitLook &target, const UnitLook &client)
{
    PlugInPlan plan;
    // An unknown target may be active too: stopping an inactive one is quick.
    plan.stopFirst = target.state != UnitState::kInactive;
    if (target.state != UnitState::kUnknown && !target.wantsClient)
        plan.news = CableNews::kDisabled;
    else if (running(client))
        plan.follow = {FollowMode::kRunning, client.mainPid};
    else // not running, or unknown: any client process seen later is a new one
        plan.follow = {FollowMode::kStarting, client.mainPid};
    if (plan.follow.mode == FollowMode::kRunning)
        plan.news = CableNews::kWasRunning;
    return plan;
}

FollowVerdict followClient(Follow &follow, const UnitLook &client, bool windowOver)
{
    const FollowStep lastStep = windowOver ? FollowStep::kDone : FollowStep::kWatch;
    if (client.state == UnitState::kUnknown)
        return {FollowStep::kDone};
    // Another process than at the plug-in: the old client ended and a new
    // one was started (by the plug-in, or by systemd after a failure).
    if (follow.mode == FollowMode::kRunning && client.mainPid != follow.pid)
        follow.mode = FollowMode::kStarting;
    if (follow.mode == FollowMode::kRunning) {
        if (running(client))
            return {lastStep};
        // Another robot-client holds the lock: a new one would fail the same way.
        if (failed(client) && client.exitStatus == kExitLocked)
            return {FollowStep::kDone, CableNews::kFailed, kExitLocked};
        return {FollowStep::kStartAgain};
    }
    const CableNews started = follow.again ? CableNews::kStartedAgain : CableNews::kStarted;
    if (client.mainPid == follow.pid || client.mainPid == 0)
        return {lastStep, windowOver && !follow.seenUp ? CableNews::kNotStarted : CableNews::kNone};
    if (failed(client))
        return {FollowStep::kDone, CableNews::kFailed, client.exitStatus};
    if (!running(client))
        return {FollowStep::kDone, started};
    // Seen running at two looks: past the lock and its start-up.
    const FollowStep step = follow.seenUp ? FollowStep::kDone : lastStep;
    follow.seenUp = true;
    return {step, started};
}

bool cableInCountsAsPlugIn(const UnitLook &target, bool usb0HasClientAddress)
{
    const bool targetUp = target.state == UnitState::kActive || target.state == UnitState::kStarting;
    return !targetUp && !usb0HasClientAddress;
}

// ---- The watch -------------------------------------------------------------

int cableWatchStart()
{
    const int fd = subscribeLinkNotifications();
    if (fd < 0) {
        CABLE_LOG(kLevelErr, "no netlink socket: %s\n", strerror(errno));
        return -1;
    }
    if (const int err = setUsb0Up(); err != 0)
        CABLE_LOG(kLevelErr, "cannot set usb0 up: %s\n", strerror(-err));
    // Setting it up may have brought the carrier with it.
    if (usb0PluggedInUnseen() || usb0CarrierSeenUp()) {
        const UnitLook target = look(kPluggedTarget);
        if (cableInCountsAsPlugIn(target, usb0HasClientAddress()))
            pluggedIn(target);
        else
            inBefore(target);
    } else {
        unplugged();
    }
    return fd;
}

bool cableWatchRead(int fd)
{
    const bool wasUp = usb0CarrierSeenUp();
    const LinkNews news = readLinkNotifications(fd, false);
    if (news.readError == EINTR || news.readError == EAGAIN)
        return true;
    if (news.readError != 0) {
        CABLE_LOG(kLevelErr, "cannot read link notifications: %s\n", strerror(news.readError));
        return false;
    }
    // A quick unplug and plug-in may come in one read, or both ways.
    if (news.pluggedIn)
        pluggedIn(look(kPluggedTarget));
    if (!usb0CarrierSeenUp() && (wasUp || news.pluggedIn))
        unplugged();
    return true;
}

bool cableWatchFollowing()
{
    return s_follow.mode != FollowMode::kOff;
}

bool cableWatchStep(int fd)
{
    if (!cableWatchFollowing())
        return cableWatchRead(fd);
    const long long wait = s_nextLookMs - nowMs();
    pollfd ready{fd, POLLIN, 0};
    const int events = poll(&ready, 1, wait > 0 ? static_cast<int>(wait) : 0);
    if (events > 0)
        return cableWatchRead(fd);
    if (events == 0)
        lookAtClient();
    else if (errno != EINTR) {
        CABLE_LOG(kLevelErr, "cannot wait for link notifications: %s\n", strerror(errno));
        return false;
    }
    return true;
}

int cableWatchRun(int fd)
{
    while (cableWatchStep(fd)) {
    }
    return 1;
}
