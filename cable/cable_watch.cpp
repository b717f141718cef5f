#include "cable/cable_watch.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <systemd/sd-daemon.h>

#include "cable/cable_bus.h"
#include "cable/cable_follow.h"
#include "cable/cable_record.h"
#include "link/link_query.h"
#include "link/link_watch.h"
#include "log/log.h"
#include "record/deploy_record.h"

// Every line the watch logs names "cableWatch" as its source.
#define CABLE_LOG(level, ...) logPrint("cableWatch", __func__, __LINE__, (level), __VA_ARGS__)

namespace {

// A start that got no answer is tried once more, and a look at the client
// that could not be read again, this long after.
constexpr double kRetrySec = 1.0;

bool s_cableIn = false;
time_t s_since = 0; // when the cable last came in
Told s_told;        // what the status tells of it
std::array<char, 160> s_detail{};
Follow s_follow;
CableRecord s_recorded; // what kCableRecordPath holds
CableRecord s_plugIn;   // usb0 at the followed plug-in, recorded once its start is queued
// A usb0 made while the package was being configured, and when this watch
// first saw it (CLOCK_BOOTTIME seconds); ifindex 0: none.
struct {
    int ifindex;
    double at;
} s_madeByDpkg{};
// While a deployment is followed: when the start is tried again or the
// client looked at again (CLOCK_MONOTONIC seconds, 0: nothing due), which
// of the two, and whether this plug-in's start was tried again already.
double s_dueAt = 0;
bool s_dueStart = false;
bool s_startRetried = false;

void notifyStatus()
{
    std::array<char, 384> text{};
    sd_notifyf(0, "READY=1\nSTATUS=%s", statusText(s_cableIn, s_since, s_told, text));
}

// Tells news once: a NOTICE line (ERR for a failure of the watch's own) and
// the status.
void tell(const Told &told)
{
    if (told.news == News::kNone || (told.news == s_told.news && told.end.pid == s_told.end.pid))
        return;
    s_told = told;
    std::array<char, 256> text{};
    const bool error =
        told.news == News::kStartRefused || told.news == News::kStartFailed || told.news == News::kNoBus;
    CABLE_LOG(error ? kLevelErr : kLevelNotice, "%s\n", newsText(told, text));
    notifyStatus();
}

void tell(News news, const char *detail = nullptr)
{
    Told told;
    told.news = news;
    told.detail = detail;
    tell(told);
}

// ---- usb0 as recorded, and the package's marker -----------------------------

// Records usb0's carrier as this watch last acted on it: what the next watch
// compares with when it starts.
void recordUsb0(const CableRecord &now)
{
    if (now.ifindex <= 0 || now == s_recorded)
        return;
    s_recorded = now;
    if (!writeCableRecord(now))
        CABLE_LOG(kLevelWarn, "cannot write %s: %s\n", kCableRecordPath, strerror(errno));
}

// Why a carrier-up of usb0 (ifindex) read at bootAt starts no deployment,
// or nullptr: the package is being configured, or it is the first one of a
// usb0 that the installation made, soon after (the host enumerating it).
const char *noPlugIn(int ifindex, double bootAt)
{
    const bool enumerated = ifindex == s_madeByDpkg.ifindex && bootAt - s_madeByDpkg.at < kInstallUsb0Sec;
    s_madeByDpkg = {};
    if (dpkgMarkerFresh())
        return "the package is being installed";
    return enumerated ? "usb0 was made by the package's installation" : nullptr;
}

// ---- Following a deployment ---------------------------------------------------

void stopFollowing()
{
    s_follow = {};
    s_dueAt = 0;
    busDisconnect();
}

void dueIn(bool start)
{
    s_dueAt = monotonicSeconds() + kRetrySec;
    s_dueStart = start;
}

// Connects when not connected: true, or false with the reason in s_detail.
bool haveBus()
{
    if (busConnected())
        return true;
    if (const int r = busConnect(); r < 0) {
        snprintf(s_detail.data(), s_detail.size(), "%s: %s", kSystemdBusAddress, strerror(-r));
        return false;
    }
    return true;
}

// Starts the target for the followed plug-in. The client is looked at first
// for the plug-in, unless that was done. A start that got no answer (the
// connection broke or timed out) is tried once more a second later; a
// refusal never is. The usb0 record names the plug-in only once its start
// is queued: a watch started after a start that failed tries again.
void startTarget()
{
    std::array<char, 160> error{};
    const bool connected = haveBus();
    if (connected && !s_follow.again && s_follow.atPlugIn.state == UnitState::kUnknown) {
        s_follow.atPlugIn = busLookAtClient();
        s_follow.toldPid = s_follow.atPlugIn.state == UnitState::kRunning ? s_follow.atPlugIn.pid : 0;
    }
    const Start start = connected ? busStartTarget(error) : Start::kLost;
    if (connected)
        snprintf(s_detail.data(), s_detail.size(), "%s", error.data());
    switch (start) {
    case Start::kQueued:
        s_follow.startPending = true;
        recordUsb0(s_plugIn);
        if (!s_follow.again)
            tell(s_follow.atPlugIn.state == UnitState::kRunning ? News::kWasRunning : News::kStarting);
        return;
    case Start::kLost:
        if (!s_startRetried) {
            s_startRetried = true;
            CABLE_LOG(kLevelWarn, "no answer from systemd to the start of %s (%s); trying again in 1 s\n",
                      kPluggedTarget, s_detail.data());
            busDisconnect();
            dueIn(true);
            return;
        }
        tell(connected ? News::kStartRefused : News::kNoBus, s_detail.data());
        break;
    case Start::kRefused:
        tell(News::kStartRefused, s_detail.data());
        break;
    case Start::kShuttingDown:
        tell(News::kShuttingDown);
        break;
    }
    stopFollowing();
}

void lookAtClient()
{
    Told told;
    told.end = busLookAtClient();
    told.record = readDeployRecord(kDeployRecordPath);
    const Verdict verdict = followClient(s_follow, told.end, told.record);
    told.news = verdict.news;
    told.endedAt = time(nullptr);
    if (verdict.news == News::kStartFailed) {
        snprintf(s_detail.data(), s_detail.size(), "%s", s_follow.ended.data());
        told.detail = s_detail.data();
    }
    tell(told);
    switch (verdict.step) {
    case Step::kFollow:
        break;
    case Step::kLookAgain:
        dueIn(false);
        break;
    case Step::kDone:
        stopFollowing();
        break;
    case Step::kStartAgain:
        CABLE_LOG(kLevelNotice,
                  "%s ended without having seen the plug-in (its final report); starting %s again\n",
                  kClientUnit, kPluggedTarget);
        s_follow.again = true;
        s_startRetried = false;
        startTarget();
        break;
    }
}

// Acts on what systemd sent. A connection that systemd closed
// (daemon-reexec, daemon-reload) is made again and the client looked at:
// the start job's end may be lost with it, but the client's own job tells
// what is pending.
void onBus()
{
    BusNews news;
    if (const int r = busProcess(news); r < 0) {
        CABLE_LOG(kLevelWarn, "systemd's socket closed (%s); connecting again\n", strerror(-r));
        s_follow.startPending = false;
        busDisconnect();
        if (haveBus()) {
            lookAtClient();
        } else {
            tell(News::kNoBus, s_detail.data());
            stopFollowing();
        }
        return;
    }
    if (news.startEnded) {
        s_follow.startPending = false;
        if (!news.startDone)
            snprintf(s_follow.ended.data(), s_follow.ended.size(), "%s", news.result.data());
    }
    if (news.clientChanged || news.startEnded)
        lookAtClient();
}

// What systemd sent before a change of the cable is acted on first; a
// connection that is gone is made again then, not used.
void catchUp()
{
    if (s_follow.on && busConnected())
        onBus();
}

// ---- The cable --------------------------------------------------------------

// A cable in that counts as no plug-in: in before the watch started, or
// while the package is being installed.
void inBefore(const char *why, bool atStart)
{
    s_cableIn = true;
    if (atStart)
        CABLE_LOG(kLevelNotice,
                  "usb0 carrier up since before this watch started (%s): no deployment started\n", why);
    else
        CABLE_LOG(kLevelNotice, "usb0 carrier up (%s): no deployment started\n", why);
    Told told;
    told.news = News::kInBefore;
    told.detail = why;
    told.atStart = atStart;
    s_told = told;
    notifyStatus();
}

// usb0's carrier came up: its times (wall and boot clock) and its count are
// the netlink record's.
void pluggedIn(time_t at, double bootAt, uint32_t count)
{
    catchUp();
    s_since = at;
    s_told = {};
    const int ifindex = queryUsb0Link().ifindex;
    if (const char *why = noPlugIn(ifindex, bootAt)) {
        inBefore(why, false);
        recordUsb0({ifindex, count, true});
        return;
    }
    s_cableIn = true;
    CABLE_LOG(kLevelNotice, "usb0 carrier up: the cable is in; starting %s\n", kPluggedTarget);
    s_follow = {};
    s_follow.on = true;
    s_follow.plugInCount = count;
    s_plugIn = {ifindex, count, true};
    s_dueAt = 0;
    s_startRetried = false;
    startTarget();
}

void unplugged()
{
    catchUp();
    CABLE_LOG(kLevelNotice, "usb0 carrier down: waiting for the cable\n");
    // A start still to be tried again was for a cable that is out now.
    if (s_dueAt > 0 && s_dueStart) {
        tell(News::kCancelled);
        stopFollowing();
    }
    s_cableIn = false;
    recordUsb0({queryUsb0Link().ifindex, usb0CarrierUpCount(), false});
    std::array<char, 160> error{};
    if (haveBus()) {
        if (busStopTarget(error) < 0)
            CABLE_LOG(kLevelErr, "cannot stop %s: %s\n", kPluggedTarget, error.data());
        // A stop cancels a pending start: the client's own job tells the rest.
        if (s_follow.startPending)
            snprintf(s_follow.ended.data(), s_follow.ended.size(), "canceled");
        s_follow.startPending = false;
    } else {
        CABLE_LOG(kLevelErr, "cannot stop %s: %s unreachable\n", kPluggedTarget, kSystemdBusAddress);
    }
    if (!s_follow.on)
        busDisconnect();
    notifyStatus();
}

} // namespace

int cableWatchStart()
{
    stopFollowing();
    s_told = {};
    s_madeByDpkg = {};
    const int fd = subscribeLinkNotifications();
    if (fd < 0) {
        CABLE_LOG(kLevelErr, "no netlink socket: %s\n", strerror(errno));
        sd_notify(0, "READY=1\nSTATUS=cannot watch usb0: no netlink socket");
        return -1;
    }
    if (const int err = setUsb0Up(); err != 0)
        CABLE_LOG(kLevelErr, "cannot set usb0 up: %s\n", strerror(-err));
    s_recorded = readCableRecord();
    // Setting it up may have brought the carrier with it.
    const bool up = usb0PluggedInUnseen() || usb0CarrierSeenUp();
    const Usb0Link now = queryUsb0Link();
    const bool installing = dpkgMarkerFresh();
    // A usb0 that no watch of this boot has seen, while the package is
    // being configured: the installation made it (the gadget it started).
    if (installing && !up && now.ifindex != s_recorded.ifindex)
        s_madeByDpkg = {now.ifindex, bootSeconds()};
    if (!up) {
        unplugged();
    } else if (installing || !cableInCountsAsPlugIn(s_recorded, now)) {
        s_since = time(nullptr);
        inBefore(installing ? "the package is being installed" : "the watch started again for the same usb0",
                 true);
        recordUsb0({now.ifindex, now.carrierUpCount, true});
    } else {
        pluggedIn(time(nullptr), bootSeconds(), now.carrierUpCount);
    }
    notifyStatus();
    return fd;
}

bool cableWatchRead(int fd)
{
    const bool wasUp = usb0CarrierSeenUp();
    const LinkNews news = readLinkNotifications(fd, false);
    const time_t at = time(nullptr);
    const double bootAt = bootSeconds();
    if (news.readError == EINTR || news.readError == EAGAIN)
        return true;
    if (news.readError != 0) {
        CABLE_LOG(kLevelErr, "cannot read link notifications: %s\n", strerror(news.readError));
        return false;
    }
    // A quick unplug and plug-in may come in one read, or both ways.
    if (news.pluggedIn)
        pluggedIn(at, bootAt, news.carrierUpCount);
    if (!usb0CarrierSeenUp() && (wasUp || news.pluggedIn))
        unplugged();
    return true;
}

int cableWatchStep(int fd, bool wait)
{
    std::array<pollfd, 2> ready{{{fd, POLLIN, 0}, {-1, 0, 0}}};
    // 0 while messages wait in sd-bus, read from the socket already.
    const int bus = s_follow.on && busConnected() ? busWaitFor(ready[1]) : -1;
    const int due =
        s_dueAt > 0 ? std::max(0, static_cast<int>((s_dueAt - monotonicSeconds()) * 1000) + 1) : -1;
    int timeout = bus == 0 ? 0 : due;
    if (wait && bus > 0 && (due < 0 || bus < due))
        timeout = bus;
    else if (!wait && due < 0)
        timeout = 0;
    const int got = poll(ready.data(), ready.size(), timeout);
    if (got < 0 && errno != EINTR) {
        CABLE_LOG(kLevelErr, "cannot wait for link notifications: %s\n", strerror(errno));
        return -1;
    }
    const bool isDue = s_dueAt > 0 && monotonicSeconds() >= s_dueAt;
    if (got <= 0 && bus != 0 && !isDue)
        return 0;
    if ((ready[0].revents & POLLIN) != 0 && !cableWatchRead(fd))
        return -1;
    catchUp();
    if (s_dueAt > 0 && monotonicSeconds() >= s_dueAt) {
        s_dueAt = 0;
        if (s_dueStart)
            startTarget();
        else if (haveBus())
            lookAtClient();
        else
            dueIn(false);
    }
    return 1;
}

int cableWatchRun(int fd)
{
    while (cableWatchStep(fd, true) >= 0) {
    }
    return 1;
}
