// The link watch's callback on a socket: a carrier-up before the final tick,
// and the recovery after lost notifications.
#include <cerrno>
#include <sys/socket.h>

#include "client/deploy.h"
#include "link/link_watch.h"
#include "tests/unit/link_records.h"
#include "tests/unit/manager_peer.h"

namespace {
// Lets the callback read once from fd: its log.
std::string readOnce(int fd)
{
    ev_io watcher;
    ev_io_init(&watcher, onNetlinkSock_cb, fd, EV_READ);
    const OutputCapture out;
    onNetlinkSock_cb(ev_default_loop(0), &watcher, EV_READ);
    return plain(out.text());
}

const std::string kLost = "WARN: link notifications lost (ENOBUFS); asking the kernel for usb0\n";

// A burst of n notifications (lo's MTU changed n times by one ip), then &&.
std::string burst(int n)
{
    return "seq 1000 " + std::to_string(999 + n) + " | sed 's/^/link set lo mtu /' | ip -b - && ";
}

// A burst of notifications (between the commands before and after) while
// the callback does not read, as during a copy; shrink first gives the
// socket the smallest receive buffer, or one of the size given, which the
// burst overflows. Lets the callback read once, then drains what stayed
// queued, as the next reads would: whether the callback's log began with
// the loss.
bool burstAndRead(int fd, bool shrink, const std::string &before = "true", const std::string &after = "true",
                  int size = 0)
{
    if (shrink)
        setsockopt(fd, SOL_SOCKET, size > 0 ? SO_RCVBUFFORCE : SO_RCVBUF, &size, sizeof(size));
    sh(before + " && " + burst(16) + after);
    const std::string log = readOnce(fd);
    char queued[kNetlinkReadMax];
    while (recv(fd, queued, sizeof(queued), MSG_DONTWAIT) > 0 || errno == ENOBUFS) {
    }
    return log.starts_with(kLost);
}
} // namespace

using LinkWatch = ManagerTest;

// A carrier-up between the manager's sys_run_finish and the final tick: the
// tick announces the client again, on the same connection, and does not exit.
TEST_F(LinkWatch, ACarrierUpBeforeTheFinalTickAnnouncesInsteadOfExiting)
{
    say(json("sys_run_finish"));
    pump();
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    send(pair[1], kUsb0Up.data(), kUsb0Up.size(), 0);
    readOnce(pair[0]);
    updateInfo_onTimer(g_loop, nullptr, EV_TIMER);
    EXPECT_EQ(heard(), json("connected"));
}

// The socket keeps the kernel's default receive buffer: such a burst is
// not lost. Once notifications were lost (a socket shrunk to the
// smallest), the kernel is asked for usb0: only a carrier last seen down and
// up now was a plug-in. With the cable in since the start none was seen at
// all, and the final tick must still end the client. What stayed queued
// (usb0 set down before the loss, however much came before) is walked before
// the kernel is asked (usb0 up again, unseen), or it would undo the answer.
TEST_F(LinkWatch, LostNotificationsRestartOnlyWhenTheCableCameUnseen)
{
    const int fd = createNetlinkSock();
    EXPECT_FALSE(burstAndRead(fd, false));
    setSysState(SYS_STATE_RUN_FINISH);
    EXPECT_TRUE(burstAndRead(fd, true));
    EXPECT_EQ(getSysState(), SYS_STATE_RUN_FINISH);
    EXPECT_TRUE(burstAndRead(fd, true, "ip link set usb0 down", "ip link set usb0 up"));
    EXPECT_EQ(getSysState(), SYS_STATE_IDLE);
    setSysState(SYS_STATE_RUNNING);
    EXPECT_TRUE(burstAndRead(fd, true));
    EXPECT_EQ(getSysState(), SYS_STATE_RUNNING);
    // Far more than 64 records queued before usb0 went down; its up lost.
    EXPECT_TRUE(burstAndRead(fd, true, burst(100) + "ip link set usb0 down",
                             burst(400) + "ip link set usb0 up", 300000));
    EXPECT_EQ(getSysState(), SYS_STATE_IDLE);
}
