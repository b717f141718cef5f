// The manager connection: what goes on the wire, what is read, when it ends.
#include "tests/unit/manager_peer.h"

using ManagerLink = ManagerTest;

TEST_F(ManagerLink, ANewConnectionRestartsFromIdle)
{
    setSysState(SYS_STATE_RUNNING);
    EXPECT_GE(checkConnectStatus(), 0);
    EXPECT_EQ(getSysState(), SYS_STATE_IDLE);
}

TEST_F(ManagerLink, ReadsAtMost1024BytesAtATime)
{
    connectClient();
    const std::string first = R"({"cmd":"sys_runing","pad":")" + std::string(995, 'x') + "\"}"; // 1024 bytes
    say(first + json("connected"));
    pump();
    EXPECT_EQ(getSysState(), SYS_STATE_RUNNING);
    pump();
    EXPECT_EQ(getSysState(), SYS_STATE_CONNECTED);
}

TEST_F(ManagerLink, NothingToReadKeepsTheConnection)
{
    connectClient();
    onClientSock_cb(g_loop, &g_clientWatcher, EV_READ);
    EXPECT_TRUE(g_clientFd != -1 && ev_is_active(&g_clientWatcher));
}

TEST_F(ManagerLink, TheManagerClosingDropsTheConnectionAndKeepsTheState)
{
    connectClient();
    setSysState(SYS_STATE_RUNNING);
    OutputCapture out;
    const int fds = openFdCount();
    close(peer_);
    pump();
    EXPECT_EQ(plain(out.text()), "WARN: client socket close!\n");
    EXPECT_FALSE(g_clientFd != -1 || ev_is_active(&g_clientWatcher));
    EXPECT_EQ(openFdCount(), fds - 2); // both ends, and nothing else, are gone
    EXPECT_EQ(getSysState(), SYS_STATE_RUNNING);
}

TEST_F(ManagerLink, RunFinishDropsTheCacheAndClearsTheReminderCount)
{
    connectClient();
    g_tickCount = 9;
    OutputCapture out;
    say(json("sys_run_finish"));
    pump();
    EXPECT_EQ(getSysState(), SYS_STATE_RUN_FINISH);
    EXPECT_EQ(g_tickCount, 0);
    EXPECT_EQ(readAll(kDropCaches), "1\n");
    EXPECT_TRUE(plain(out.text()).ends_with("NOTICE: echo 1 > /proc/sys/vm/drop_caches\n"));
}

TEST_F(ManagerLink, EnteringRunningKeepsTheReminderCount)
{
    connectClient();
    g_tickCount = 9;
    say(json("sys_runing"));
    pump();
    EXPECT_EQ(getSysState(), SYS_STATE_RUNNING);
    EXPECT_EQ(g_tickCount, 9);
}

TEST_F(ManagerLink, ExitEndsTheProcessWithoutSending)
{
    connectClient();
    say(json("sys_exit"));
    EXPECT_EXIT(pump(), ::testing::ExitedWithCode(0), "");
    close(g_clientFd); // the parent's copy of the connection
    EXPECT_EQ(heard(), "");
}
