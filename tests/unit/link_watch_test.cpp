// The link watch's callback on a socket: the reset and bring-up after a
// carrier-up, and the recovery after lost notifications.
#include <sys/socket.h>

#include "client/link_watch.h"
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

// Overflows a new watch socket for real (the smallest receive buffer, a burst
// of bridges made and removed), then lets the callback read once: its log.
std::string overflowAndRead()
{
    const int fd = createNetlinkSock(), smallest = 0;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof(smallest));
    sh("for i in 1 2 3 4 5 6 7 8; do ip link add rcbr$i type bridge && ip link del rcbr$i; done");
    const std::string log = readOnce(fd);
    close(fd);
    return log;
}
} // namespace

TEST(LinkWatch, ACarrierUpResetsAndBringsUpOnceKeepingTheCount)
{
    stubCommand("ifconfig", "");
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    send(pair[1], (kUsb0Up + kUsb0Up).data(), 2 * kUsb0Up.size(), 0);
    g_tickCount = 5;
    setSysState(SYS_STATE_RUNNING);
    readOnce(pair[0]);
    EXPECT_EQ(getSysState(), SYS_STATE_IDLE);
    EXPECT_EQ(g_tickCount, 5);
    EXPECT_EQ(sh("test \"$(cat /mnt/ifconfig.args)\" = 'usb0 10.10.10.1 up'"), 0);
}

// Once notifications were lost, the kernel is asked for usb0: a carrier seen
// down before and up now was a plug-in; one that stayed up changes nothing.
TEST(LinkWatch, LostNotificationsRestartOnlyWhenUsb0CameUpUnseen)
{
    const std::string lost = "WARN: link notifications lost (ENOBUFS); asking the kernel for usb0\n";
    makeUsbLink();
    sh("ip link set mgr0 down");
    overflowAndRead(); // the watch learns usb0 is down
    sh("ip link set mgr0 up");
    setSysState(SYS_STATE_RUNNING);
    EXPECT_EQ(overflowAndRead(), lost);
    EXPECT_EQ(getSysState(), SYS_STATE_IDLE);
    setSysState(SYS_STATE_RUNNING);
    EXPECT_EQ(overflowAndRead(), lost);
    EXPECT_EQ(getSysState(), SYS_STATE_RUNNING);
}
