// The client's end of a manager connection, with the manager's end in the
// test's hands, in the test's own namespaces, where usb0 carries the client's
// address.
#pragma once

#include <arpa/inet.h>
#include <array>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>

#include "client/loop.h"
#include "client/manager_link.h"
#include "client/state.h"
#include "net/net.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"
#include "tests/unit/protocol.h"

using namespace testsupport;

class ManagerTest : public ::testing::Test {
  protected:
    // A connection made as checkConnectStatus makes it; the state and count
    // as a fresh process has them, also after another test in this one.
    void SetUp() override
    {
        makeUsbLink("10.10.10.1");
        g_loop = ev_default_loop(0);
        ev_io_stop(g_loop, &g_clientWatcher);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        g_clientFd = pair[0], peer_ = pair[1], g_tickCount = 0;
        setNonblocking(g_clientFd);
        ev_io_init(&g_clientWatcher, onClientSock_cb, g_clientFd, EV_READ);
        ev_io_start(g_loop, &g_clientWatcher);
        setSysState(SYS_STATE_IDLE);
    }
    // Forgets the connection; a listener at the manager's address stands
    // instead, in a namespace of its own at usb0's far end (mgr0 moves
    // there), as the manager's PC is: the client's connection leaves by usb0.
    static int managerListening()
    {
        ev_io_stop(g_loop, &g_clientWatcher);
        g_clientFd = -1;
        sh("ip netns add rc-manager && ip link set mgr0 netns rc-manager && "
           "ip -n rc-manager addr add 10.10.10.2/24 dev mgr0 && ip -n rc-manager link set mgr0 up");
        const int board = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int manager = open("/run/netns/rc-manager", O_RDONLY | O_CLOEXEC);
        setns(manager, CLONE_NEWNET);
        const int fd = TCP_SocketCreate();
        EXPECT_EQ(SocketBindAddress(fd, kManagerIp, kManagerPort), 0);
        listen(fd, 1);
        setns(board, CLONE_NEWNET);
        close(manager), close(board);
        return fd;
    }
    void say(const std::string &t) { ASSERT_EQ(write(peer_, t.data(), t.size()), ssize_t(t.size())); }
    // Lets the client read once what waits on its connection (and nothing else: a
    // stray SIGCHLD from a shell command must not take the read's place).
    static void pump()
    {
        pollfd ready{g_clientFd, POLLIN, 0};
        poll(&ready, 1, 5000), ev_run(g_loop, EVRUN_NOWAIT);
    }
    // What the manager has received (sent before the call), or "" after 0.2 s.
    std::string heard() const
    {
        std::array<char, 4096> got{};
        pollfd ready{peer_, POLLIN, 0};
        const ssize_t len = poll(&ready, 1, 200) > 0 ? read(peer_, got.data(), got.size()) : 0;
        return {got.data(), static_cast<size_t>(std::max<ssize_t>(len, 0))};
    }

    int peer_ = -1;
};
