// The link watch's callback on a socket: the reset, the bring-up, the kernel's records.
#include <sys/socket.h>

#include "client/link_watch.h"
#include "tests/unit/link_records.h"
#include "tests/unit/manager_peer.h"

TEST(LinkWatch, ACarrierUpResetsAndBringsUpOnceKeepingTheCount)
{
    stubCommand("ifconfig", "");
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    ev_io watcher;
    ev_io_init(&watcher, onNetlinkSock_cb, pair[0], EV_READ);
    const std::string twice = kUsb0Up + kUsb0Up;
    send(pair[1], twice.data(), twice.size(), 0);
    g_tickCount = 5;
    setSysState(SYS_STATE_RUNNING);
    onNetlinkSock_cb(ev_default_loop(0), &watcher, EV_READ);
    EXPECT_EQ(getSysState(), SYS_STATE_IDLE);
    EXPECT_EQ(g_tickCount, 5);
    EXPECT_EQ(readAll("/mnt/ifconfig.args"), "usb0 10.10.10.1 up\n");
}

// However the kernel folds a quick down and up of the peer into notifications.
TEST(LinkWatch, TheKernelsNotificationOfACarrierUpRestarts)
{
    makeUsbLink();
    sh("for i in $(seq 100); do ip link show usb0 | grep -q LOWER_UP && break; sleep 0.05; done");
    ev_io watcher;
    ev_io_init(&watcher, onNetlinkSock_cb, createNetlinkSock(), EV_READ);
    setSysState(SYS_STATE_RUNNING);
    ASSERT_EQ(sh("ip link set mgr0 down && ip link set mgr0 up"), 0);
    pollfd ready{watcher.fd, POLLIN, 0};
    for (int reads = 0; reads < 20 && getSysState() != SYS_STATE_IDLE && poll(&ready, 1, 5000) > 0; ++reads)
        onNetlinkSock_cb(ev_default_loop(0), &watcher, EV_READ);
    EXPECT_EQ(getSysState(), SYS_STATE_IDLE);
}
