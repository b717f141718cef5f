#include "client/deploy.h"

#include <array>
#include <cstdlib>

#include "client/client_log.h"
#include "client/deploy_status.h"
#include "client/handshake_round.h"
#include "client/manager_link.h"
#include "client/shell.h"
#include "client/usb0.h"
#include "link/link_watch.h"

namespace {

constexpr std::string_view kMsgConnected = "{\"cmd\":\"connected\"}";
constexpr std::string_view kMsgMount = "{\"cmd\":\"sys_mount\"}";
constexpr std::string_view kMsgMountFinish = "{\"cmd\":\"sys_mount_finish\"}";
constexpr std::string_view kMsgRun = "{\"cmd\":\"sys_run\"}";
constexpr std::string_view kMsgTryRun = "{\"cmd\":\"sys_try_run\"}";
constexpr std::string_view kMsgRunFinish = "{\"cmd\":\"sys_run_finish\"}";

// The manager's secure-copy service receives the application into /userdata.
struct CopyCmd {
    Copying copy;
    const char *cmd;
};
constexpr std::array<CopyCmd, 2> kCopyCmds = {{
    {Copying::kApp, "scp -r /robot/app  root@10.10.10.2:/userdata/"},
    {Copying::kAi, "scp -r /robot/AI root@10.10.10.2:/userdata/"},
}};

// The sequence goes on after a failed copy; the log and the record must
// still show it.
void copyToManager()
{
    for (const auto &[copy, cmd] : kCopyCmds) {
        deployCopyStarts(copy);
        const int status = runShell(cmd);
        deployCopyEnded(copy, status);
        if (status != 0)
            CLIENT_LOG(kLevelErr, "copy failed with exit status %d: %s\n", shellExitStatus(status), cmd);
    }
    deployStep(DeployStep::kCopied);
}

// One tick's work; its status is told after it.
void tick()
{
    std::array<char, kIpTextMin> addr{};
    if (const int found = GetLocalIp(kUsbIfName, addr.data(), static_cast<int>(addr.size())); found != 0) {
        CLIENT_LOG(kLevelErr, "robotManager GetLocalIp failed\n");
        deployWaiting(found == 1 ? Waiting::kNoUsb0 : Waiting::kNoAddress, 0);
        usb0Networkinit();
        return;
    }

    // After the manager's sys_run_finish a lost connection ends the
    // deployment: the final report goes out (its send tries to connect
    // once), and nothing starts over.
    if (g_clientFd == -1 && getSysState() == SYS_STATE_RUN_FINISH)
        deployManagerHungUp();
    else if (checkConnectStatus() >= 0)
        deployWaiting(Waiting::kNo, 0);

    const SysState state = getSysState();
    CLIENT_LOG(kLevelNotice, "updateInfo_onTimer status =%d \n", state);
    const TickStep step = tickStep(state, g_tickCount);
    g_tickCount = step.tickCount;
    for (const TickAction action : step.actions) {
        switch (action) {
        case TickAction::kDone:
            return;
        case TickAction::kCopy:
            copyToManager();
            break;
        case TickAction::kSend:
            if (sendClientMsg(step.msg.data(), 0) <= 0) // a literal: NUL-terminated
                break;
            countSent(g_round, state);
            if (state == SYS_STATE_IDLE)
                deployStep(DeployStep::kAnnounced);
            break;
        case TickAction::kSetState:
            setSysState(step.state);
            break;
        case TickAction::kDropCaches:
            runShell(kDropCachesCmd);
            break;
        case TickAction::kExit:
            exit(deployEnd(DeployState::kFinished));
        }
    }
}

} // namespace

TickStep tickStep(SysState state, int tickCount)
{
    using enum TickAction;
    switch (state) {
    case SYS_STATE_IDLE:
        return {{kSend}, kMsgConnected, state, tickCount};
    case SYS_STATE_CONNECTED:
        return {{kSend}, kMsgMount, state, tickCount};
    case SYS_STATE_MOUNTING:
        return {{kCopy, kSend, kSetState}, kMsgMountFinish, SYS_STATE_MOUNT_FINISH, tickCount};
    case SYS_STATE_MOUNT_FINISH:
        return {{kSend}, kMsgRun, state, tickCount};
    case SYS_STATE_RUNNING:
        if (tickCount + 1 > kReminderTicks)
            return {{kSend}, kMsgTryRun, state, 0};
        return {{}, {}, state, tickCount + 1};
    case SYS_STATE_RUN_FINISH:
        return {{kDropCaches, kSend, kDropCaches, kExit}, kMsgRunFinish, state, tickCount};
    default:
        return {{}, {}, state, tickCount};
    }
}

void updateInfo_onTimer(struct ev_loop * /*loop*/, ev_timer * /*timer*/, int /*revents*/)
{
    tick();
    deployReportStep();
}

int createNetlinkSock()
{
    const int fd = subscribeLinkNotifications();
    CLIENT_LOG(kLevelNotice, "create netlink socket %d\n", fd);
    return fd;
}

void onNetlinkSock_cb(struct ev_loop *loop, ev_io *watcher, int /*revents*/)
{
    CLIENT_LOG(kLevelDebug, "onNetlinkSock_cb...\n");
    // Only a carrier that came up is a plug-in that starts over: other news
    // of a usb0 whose carrier stays up (promiscuous mode, a new MTU) is
    // printed and changes nothing.
    const LinkNews news = readLinkNotifications(watcher->fd, true);
    // A socket subscribed afresh on the descriptor is new to the loop's epoll.
    if (news.resubscribed) {
        ev_io_stop(loop, watcher);
        ev_io_set(watcher, watcher->fd, EV_READ);
        ev_io_start(loop, watcher);
    }
    if (!news.pluggedIn)
        return;
    deployCarrierUp(g_clientFd != -1 || getSysState() != SYS_STATE_IDLE, news.carrierUpCount);
    restartHandshake();
    usb0Networkinit();
    CLIENT_LOG(kLevelDebug, "onNetlinkSock_cb... SYS_STATE_IDLE\n");
    deployReportStep();
}
