#include "client/deploy.h"

#include <array>
#include <cstdlib>

#include "client/client_log.h"
#include "client/manager_link.h"
#include "client/shell.h"
#include "client/state.h"
#include "client/usb0.h"

namespace {

constexpr const char *kMsgConnected = "{\"cmd\":\"connected\"}";
constexpr const char *kMsgMount = "{\"cmd\":\"sys_mount\"}";
constexpr const char *kMsgMountFinish = "{\"cmd\":\"sys_mount_finish\"}";
constexpr const char *kMsgRun = "{\"cmd\":\"sys_run\"}";
constexpr const char *kMsgTryRun = "{\"cmd\":\"sys_try_run\"}";
constexpr const char *kMsgRunFinish = "{\"cmd\":\"sys_run_finish\"}";

// The manager's secure-copy service receives the application into /userdata.
constexpr std::array<const char *, 2> kCopyCmds = {
    "scp -r /robot/app  root@10.10.10.2:/userdata/",
    "scp -r /robot/AI root@10.10.10.2:/userdata/",
};

// The sequence goes on after a failed copy; the log must still show it.
void copyToManager()
{
    for (const char *cmd : kCopyCmds) {
        const int status = runShell(cmd);
        if (status != 0)
            CLIENT_LOG(kLevelErr, "copy failed with exit status %d: %s\n", shellExitStatus(status), cmd);
    }
}

// A tick that blocked longer than the interval (a copy, two failed
// connects) leaves the timer overdue, and libev would then run two ticks back
// to back. Re-arming it to fire now gives exactly one late tick, then the
// usual 2 s cadence from there.
void rearmAfterOverrun(struct ev_loop *loop, ev_timer *timer)
{
    if (loop == nullptr || timer == nullptr || ev_time() - ev_now(loop) <= kTickSeconds)
        return;
    ev_now_update(loop);
    ev_timer_stop(loop, timer);
    ev_timer_set(timer, 0.0, kTickSeconds);
    ev_timer_start(loop, timer);
}

} // namespace

void updateInfo_onTimer(struct ev_loop *loop, ev_timer *timer, int /*revents*/)
{
    std::array<char, kIpTextMin> addr{};
    if (GetLocalIp(kUsbIfName, addr.data(), static_cast<int>(addr.size())) != 0) {
        CLIENT_LOG(kLevelErr, "robotManager GetLocalIp failed\n");
        usb0Networkinit();
        return;
    }

    checkConnectStatus();

    const int state = getSysState();
    CLIENT_LOG(kLevelNotice, "updateInfo_onTimer status =%d \n", state);
    switch (state) {
    case SYS_STATE_IDLE:
        sendClientMsg(kMsgConnected, 0);
        break;
    case SYS_STATE_CONNECTED:
        sendClientMsg(kMsgMount, 0);
        break;
    case SYS_STATE_MOUNTING:
        copyToManager();
        sendClientMsg(kMsgMountFinish, 0);
        setSysState(SYS_STATE_MOUNT_FINISH);
        break;
    case SYS_STATE_MOUNT_FINISH:
        sendClientMsg(kMsgRun, 0);
        break;
    case SYS_STATE_RUNNING:
        ++g_tickCount;
        if (g_tickCount > kReminderTicks) {
            sendClientMsg(kMsgTryRun, 0);
            g_tickCount = 0;
        }
        break;
    case SYS_STATE_RUN_FINISH:
        runShell(kDropCachesCmd);
        sendClientMsg(kMsgRunFinish, 0);
        runShell(kDropCachesCmd);
        exit(0);
    default:
        break;
    }
    rearmAfterOverrun(loop, timer);
}
