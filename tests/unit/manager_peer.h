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

using namespace testsupport;

// The page-cache file as the client sees it: the sandbox's private file.
constexpr const char *kDropCaches = "/proc/sys/vm/drop_caches";

// A message of the protocol: {"cmd":"<cmd>"}.
inline const auto json = [](const std::string &cmd) { return R"({"cmd":")" + cmd + R"("})"; };

class ManagerTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        g_loop = ev_default_loop(0);
        makeUsbLink();
        ASSERT_EQ(sh("ip addr add 10.10.10.1/24 dev usb0"), 0);
        sockaddr_in addr{AF_INET, htons(kManagerPort), {inet_addr(kManagerIp)}, {}};
        listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int reuse = 1; // a test before this one in the process may have left TIME_WAIT behind
        setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
        ASSERT_EQ(bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
        ASSERT_EQ(listen(listenFd_, 4), 0);
    }
    // Leaves the process as a fresh one would be, for the next test in it.
    void TearDown() override
    {
        ev_io_stop(g_loop, &g_clientWatcher);
        close(g_clientFd), close(peer_), close(listenFd_);
        g_clientFd = -1, g_tickCount = 0;
        setSysState(SYS_STATE_IDLE);
        EXPECT_EQ(truncate(kDropCaches, 0), 0);
        sh("ip link del mgr0");
    }
    void acceptPeer() { ASSERT_GE(peer_ = accept(listenFd_, nullptr, nullptr), 0); }
    // Connects by sending the announcement, as the first tick would.
    void connectClient()
    {
        ASSERT_EQ(sendClientMsg(json("connected").c_str(), 0), 19);
        acceptPeer();
    }
    void say(const std::string &t) { ASSERT_EQ(write(peer_, t.data(), t.size()), ssize_t(t.size())); }
    // Lets the client read once what waits on its connection (and nothing else: a
    // stray SIGCHLD from a shell command must not take the read's place).
    static void pump()
    {
        pollfd ready{g_clientFd, POLLIN, 0};
        poll(&ready, 1, 5000), ev_run(g_loop, EVRUN_NOWAIT);
    }
    // What the manager received, waiting until at least n bytes came.
    std::string heard(size_t n)
    {
        std::string got;
        char chunk[4096];
        pollfd ready{peer_, POLLIN, 0};
        ssize_t len = 0;
        while (got.size() < n && poll(&ready, 1, 5000) > 0 && (len = read(peer_, chunk, sizeof(chunk))) > 0)
            got.append(chunk, static_cast<size_t>(len));
        return got;
    }

    int listenFd_ = -1;
    int peer_ = -1;
};
