// A stand-in robotManager on 10.10.10.2:7901 in the test's own network
// namespace, where usb0 carries the client's address.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>

#include "client/loop.h"
#include "client/manager_link.h"
#include "client/state.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"
#include "tests/unit/protocol.h"

using namespace testsupport;

// The page-cache file as the client sees it: the sandbox's private file.
constexpr const char *kDropCaches = "/proc/sys/vm/drop_caches";

class ManagerTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        g_loop = ev_default_loop(0);
        // As a fresh process would be, also after another test in this one.
        ev_io_stop(g_loop, &g_clientWatcher);
        g_clientFd = -1, g_tickCount = 0;
        setSysState(SYS_STATE_IDLE);
        makeUsbLink();
        ASSERT_EQ(sh("ip addr add 10.10.10.1/24 dev usb0"), 0);
        sockaddr_in addr{AF_INET, htons(kManagerPort), {inet_addr(kManagerIp)}, {}};
        listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
        ASSERT_EQ(listen(listenFd_, 4), 0);
    }
    void acceptPeer() { ASSERT_GE(peer_ = accept(listenFd_, nullptr, nullptr), 0); }
    // Connects by sending the announcement, as the first tick would.
    void connectClient()
    {
        ASSERT_EQ(sendClientMsg(json("connected").c_str(), 0), 19);
        acceptPeer();
        ASSERT_EQ(heard(), json("connected"));
    }
    void say(const std::string &t) { ASSERT_EQ(write(peer_, t.data(), t.size()), ssize_t(t.size())); }
    // Lets the client read once what waits on its connection (and nothing else: a
    // stray SIGCHLD from a shell command must not take the read's place).
    static void pump()
    {
        pollfd ready{g_clientFd, POLLIN, 0};
        poll(&ready, 1, 5000), ev_run(g_loop, EVRUN_NOWAIT);
    }
    // What the manager has received: all that comes within 0.2 s of the last byte.
    std::string heard() const
    {
        std::string got;
        char chunk[4096];
        pollfd ready{peer_, POLLIN, 0};
        for (ssize_t len = 0;
             poll(&ready, 1, got.empty() ? 5000 : 200) > 0 && (len = read(peer_, chunk, 4096)) > 0;)
            got.append(chunk, static_cast<size_t>(len));
        return got;
    }

    int listenFd_ = -1;
    int peer_ = -1;
};
