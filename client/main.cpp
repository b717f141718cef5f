// robot-client: hands the robot's application over to the manager on the far
// end of the USB network link and has it run there.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ev.h>

#include "client/client_log.h"
#include "client/cmdline.h"
#include "client/deploy.h"
#include "client/deploy_status.h"
#include "client/instance_lock.h"
#include "client/loop.h"
#include "record/exit_status.h"

// Read watcher on the rtnetlink socket.
static ev_io g_netlinkWatcher;

static void signal_cb(struct ev_loop *loop, ev_signal *watcher, int /*revents*/)
{
    if (watcher->signum != SIGINT)
        return;
    // The summary first: "SIGINT exit..." and "robot client exit!" stay the
    // last two lines.
    deployEnd(DeployState::kStopped);
    CLIENT_LOG(kLevelWarn, "SIGINT exit...\n");
    // After a tick that overran (a long copy) the timer is due again at once
    // and may be pending beside this signal; no tick may act after the stop.
    ev_timer_stop(loop, &g_updateTimer);
    ev_break(loop, EVBREAK_ALL);
}

int main(int argc, char **argv)
{
    // --help and --version touch nothing: no lock, no socket, no loop.
    if (const int status = handleCmdline(argc, argv); status >= 0)
        return status;

    // Under a service manager stdout is a pipe: block buffering would lose
    // lines on a kill and mix them out of order with the commands' output.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    logSetup();
    // Before anything touches usb0: a second instance would fight the
    // first over the interface and the manager.
    if (takeInstanceLock(kRunDir, kLockPath) == InstanceLock::kHeld)
        return kExitLocked;

    g_loop = ev_default_loop(0);
    if (g_loop == nullptr) {
        const char *flags = getenv("LIBEV_FLAGS");
        CLIENT_LOG(kLevelErr, "no event loop: libev has no back-end for LIBEV_FLAGS=%s\n",
                   flags != nullptr ? flags : "");
        return kExitNoLoop;
    }
    // g_stateLock is initialised statically with default attributes.
    signal(SIGPIPE, SIG_IGN);

    const int netlinkFd = createNetlinkSock();
    if (netlinkFd >= 0) {
        ev_io_init(&g_netlinkWatcher, onNetlinkSock_cb, netlinkFd, EV_READ);
        ev_io_start(g_loop, &g_netlinkWatcher);
    } else {
        CLIENT_LOG(kLevelWarn, "no netlink socket: running without the link watch\n");
    }

    // Lives in this frame: main returns only after the loop has stopped.
    ev_signal sigintWatcher;
    ev_signal_init(&sigintWatcher, signal_cb, SIGINT);
    ev_signal_start(g_loop, &sigintWatcher);

    startUpdateTimer(g_loop, updateInfo_onTimer);
    deployBegin();

    CLIENT_LOG(kLevelNotice, "ev_run...\n");
    ev_run(g_loop, 0);
    CLIENT_LOG(kLevelErr, "robot client exit!\n");
    return 0;
}
