// The manager connection's read callback: what is read, what is carried out,
// when the connection ends.
#include <fcntl.h>

#include "tests/unit/manager_peer.h"

using ManagerLink = ManagerTest;

TEST_F(ManagerLink, ASendWithoutAConnectionConnectsWithoutRestarting)
{
    managerListening();
    setSysState(SYS_STATE_RUNNING);
    EXPECT_EQ(sendClientMsg(json("sys_try_run").c_str(), 0), 21);
    EXPECT_EQ(getSysState(), SYS_STATE_RUNNING);
}

TEST_F(ManagerLink, ReadsAtMost1024BytesAtATime)
{
    const std::string first = R"({"cmd":"sys_runing","pad":")" + std::string(995, 'x') + "\"}"; // 1024 bytes
    say(first + json("connected"));
    pump();
    EXPECT_EQ(getSysState(), SYS_STATE_RUNNING);
    pump();
    EXPECT_EQ(getSysState(), SYS_STATE_CONNECTED);
}

// sys_exit ends the client at once, with status 0 and nothing sent.
TEST_F(ManagerLink, SysExitEndsTheClientAtOnce)
{
    say(json("sys_exit"));
    EXPECT_EXIT(pump(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(heard(), "");
}

TEST_F(ManagerLink, NothingToReadKeepsTheConnection)
{
    onClientSock_cb(g_loop, &g_clientWatcher, EV_READ);
    EXPECT_TRUE(g_clientFd != -1 && ev_is_active(&g_clientWatcher));
}

TEST_F(ManagerLink, TheManagerClosingDropsTheConnectionAndKeepsTheState)
{
    const int clientFd = g_clientFd;
    setSysState(SYS_STATE_RUNNING);
    close(peer_);
    pump();
    EXPECT_FALSE(g_clientFd != -1 || ev_is_active(&g_clientWatcher));
    EXPECT_EQ(fcntl(clientFd, F_GETFD), -1); // closed
    EXPECT_EQ(getSysState(), SYS_STATE_RUNNING);
}
