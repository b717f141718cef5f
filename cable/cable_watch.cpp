#include "cable/cable_watch.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include "cable/cable_bus.h"
#include "cable/cable_follow.h"
#include "link/link_query.h"
#include "link/link_watch.h"
#include "log/log.h"
#include "record/deploy_record.h"

// Every line the watch logs names "cableWatch" as its source.
#define CABLE_LOG(level, ...) logPrint("cableWatch", __func__, __LINE__, (level), __VA_ARGS__)

namespace {

bool s_cableIn = false;
time_t s_since = 0; // when the cable last came in
Told s_told;        // what the status tells of it
std::array<char, 128> s_detail{};
Follow s_follow;
int s_recordedIfindex = 0;

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
    const bool error = told.news == News::kStartRefused || told.news == News::kNoBus;
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

// ---- The usb0 seen and the package's marker ---------------------------------

int readCableRecord()
{
    std::array<char, 32> text{};
    FILE *file = fopen(kCableRecordPath, "re");
    if (file == nullptr)
        return 0;
    const bool read = fgets(text.data(), text.size(), file) != nullptr;
    fclose(file);
    if (!read || strncmp(text.data(), "ifindex=", 8) != 0)
        return 0;
    return static_cast<int>(strtol(text.data() + 8, nullptr, 10));
}

void recordUsb0(int ifindex)
{
    if (ifindex <= 0 || ifindex == s_recordedIfindex)
        return;
    s_recordedIfindex = ifindex;
    FILE *file = fopen(kCableRecordPath, "we");
    if (file == nullptr || fprintf(file, "ifindex=%d\n", ifindex) < 0 || fclose(file) != 0)
        CABLE_LOG(kLevelWarn, "cannot write %s: %s\n", kCableRecordPath, strerror(errno));
}

bool dpkgMarkerFresh()
{
    struct stat marker {};
    return stat(kDpkgMarkerPath, &marker) == 0 && time(nullptr) - marker.st_mtime < kDpkgMarkerFreshSec;
}

// ---- Following a deployment ---------------------------------------------------

void stopFollowing()
{
    s_follow = {};
    busDisconnect();
}

bool connectBus()
{
    if (const int r = busConnect(); r < 0) {
        snprintf(s_detail.data(), s_detail.size(), "%s: %s", kSystemdBusAddress, strerror(-r));
        tell(News::kNoBus, s_detail.data());
        return false;
    }
    return true;
}

bool startTarget()
{
    std::array<char, 96> error{};
    if (busStartTarget(error) < 0) {
        snprintf(s_detail.data(), s_detail.size(), "%s", error.data());
        tell(News::kStartRefused, s_detail.data());
        stopFollowing();
        return false;
    }
    s_follow.startPending = true;
    return true;
}

void lookAtClient()
{
    Told told;
    told.end = busLookAtClient();
    told.record = readDeployRecord(kDeployRecordPath);
    const Verdict verdict = followClient(s_follow, told.end, told.record);
    told.news = verdict.news;
    told.endedAt = time(nullptr);
    tell(told);
    if (verdict.step == Step::kDone) {
        stopFollowing();
    } else if (verdict.step == Step::kStartAgain) {
        CABLE_LOG(kLevelNotice,
                  "%s ended without having seen the plug-in (its final report); starting %s again\n",
                  kClientUnit, kPluggedTarget);
        s_follow.again = true;
        startTarget();
    }
}

void onBus()
{
    BusNews news;
    if (const int r = busProcess(news); r < 0) {
        // daemon-reexec and daemon-reload may close it. The start job's end
        // may be lost with it: the client's own job tells what is pending.
        CABLE_LOG(kLevelWarn, "systemd's socket closed (%s); connecting again\n", strerror(-r));
        s_follow.startPending = false;
        if (connectBus())
            lookAtClient();
        else
            stopFollowing();
        return;
    }
    if (news.startEnded && !news.startDone) {
        snprintf(s_detail.data(), s_detail.size(), "its start job ended %s", news.result.data());
        tell(News::kStartRefused, s_detail.data());
        stopFollowing();
        return;
    }
    if (news.startEnded)
        s_follow.startPending = false;
    if (news.clientChanged || news.startEnded)
        lookAtClient();
}

// ---- The cable --------------------------------------------------------------

void pluggedIn()
{
    s_cableIn = true;
    s_since = time(nullptr);
    s_told = {};
    recordUsb0(queryUsb0Link().ifindex);
    CABLE_LOG(kLevelNotice, "usb0 carrier up: the cable is in; starting %s\n", kPluggedTarget);
    if (!busConnected() && !connectBus())
        return;
    const ClientLook client = busLookAtClient();
    const bool ran = client.state == UnitState::kRunning;
    s_follow = {true, ran, client.pid, monotonicSeconds()};
    s_follow.toldPid = ran ? client.pid : 0;
    if (startTarget())
        tell(ran ? News::kWasRunning : News::kStarting);
}

void unplugged()
{
    CABLE_LOG(kLevelNotice, "usb0 carrier down: waiting for the cable\n");
    s_cableIn = false;
    std::array<char, 96> error{};
    if (busConnected() || busConnect() == 0) {
        if (busStopTarget(error) < 0)
            CABLE_LOG(kLevelErr, "cannot stop %s: %s\n", kPluggedTarget, error.data());
        // A stop cancels a pending start: the client's own job tells the rest.
        s_follow.startPending = false;
    } else {
        CABLE_LOG(kLevelErr, "cannot stop %s: %s unreachable\n", kPluggedTarget, kSystemdBusAddress);
    }
    if (!s_follow.on)
        busDisconnect();
    notifyStatus();
}

// A cable in at the watch's start that counts as no plug-in.
void inBefore(const char *why)
{
    s_cableIn = true;
    s_since = time(nullptr);
    CABLE_LOG(kLevelNotice, "usb0 carrier up since before this watch started (%s): no deployment started\n",
              why);
    Told told;
    told.news = News::kInBefore;
    told.detail = why;
    s_told = told;
    notifyStatus();
}

} // namespace

int cableWatchStart()
{
    stopFollowing();
    s_told = {};
    const int fd = subscribeLinkNotifications();
    if (fd < 0) {
        CABLE_LOG(kLevelErr, "no netlink socket: %s\n", strerror(errno));
        sd_notify(0, "READY=1\nSTATUS=cannot watch usb0: no netlink socket");
        return -1;
    }
    if (const int err = setUsb0Up(); err != 0)
        CABLE_LOG(kLevelErr, "cannot set usb0 up: %s\n", strerror(-err));
    s_recordedIfindex = readCableRecord();
    const int recorded = s_recordedIfindex;
    const int ifindex = queryUsb0Link().ifindex;
    const bool installing = dpkgMarkerFresh();
    recordUsb0(ifindex);
    // Setting it up may have brought the carrier with it.
    if (!usb0PluggedInUnseen() && !usb0CarrierSeenUp())
        unplugged();
    else if (cableInCountsAsPlugIn(recorded, ifindex, installing))
        pluggedIn();
    else
        inBefore(installing ? "the package is being installed" : "the watch started again for the same usb0");
    notifyStatus();
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
        pluggedIn();
    if (!usb0CarrierSeenUp() && (wasUp || news.pluggedIn))
        unplugged();
    return true;
}

bool cableWatchFollowing()
{
    return s_follow.on;
}

bool cableWatchStep(int fd)
{
    if (!s_follow.on)
        return cableWatchRead(fd);
    std::array<pollfd, 2> ready{{{fd, POLLIN, 0}, {}}};
    if (poll(ready.data(), ready.size(), busWaitFor(ready[1])) < 0 && errno != EINTR) {
        CABLE_LOG(kLevelErr, "cannot wait for link notifications: %s\n", strerror(errno));
        return false;
    }
    if ((ready[0].revents & POLLIN) != 0 && !cableWatchRead(fd))
        return false;
    if (s_follow.on)
        onBus();
    return true;
}

int cableWatchRun(int fd)
{
    while (cableWatchStep(fd)) {
    }
    return 1;
}
