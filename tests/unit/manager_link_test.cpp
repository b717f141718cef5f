// The manager connection's read callback: what is read, what is carried out,
// when the connection ends. A send's own connect, which restarts nothing, is
// the system test's (late_manager: the final report after a hang-up).
#include <algorithm>
#include <fcntl.h>
#include <sys/inotify.h>

#include "client/deploy.h"
#include "tests/unit/manager_peer.h"

using ManagerLink = ManagerTest;

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

// ... and the next tick's new connection starts the handshake over, from
// the announcement.
TEST_F(ManagerLink, TheManagerClosingDropsTheConnectionAndKeepsTheState)
{
    const int clientFd = g_clientFd;
    setSysState(SYS_STATE_RUNNING);
    close(peer_);
    pump();
    EXPECT_FALSE(g_clientFd != -1 || ev_is_active(&g_clientWatcher));
    EXPECT_EQ(fcntl(clientFd, F_GETFD), -1); // closed
    EXPECT_EQ(getSysState(), SYS_STATE_RUNNING);

    const int listener = managerListening();
    updateInfo_onTimer(g_loop, nullptr, EV_TIMER);
    peer_ = accept(listener, nullptr, nullptr);
    EXPECT_EQ(heard(), json("connected"));
    EXPECT_EQ(getSysState(), SYS_STATE_IDLE);
}

// sys_run_finish drops the page cache at once and clears the reminder
// count; the final tick drops it again before and after its report: three
// drops in all.
TEST_F(ManagerLink, TheRunFinishedDropsThePageCacheThreeTimes)
{
    // Each drop opens the file and closes it written; the opens keep the
    // kernel from merging two writes in a row into one event.
    const int drops = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(drops, "/proc/sys/vm/drop_caches", IN_OPEN | IN_CLOSE_WRITE);
    const auto count = [drops] {
        std::array<inotify_event, 64> events{};
        const ssize_t len = read(drops, events.data(), sizeof(events));
        return std::count_if(events.begin(),
                             events.begin() + std::max<ssize_t>(len, 0) / sizeof(inotify_event),
                             [](const inotify_event &e) { return (e.mask & IN_CLOSE_WRITE) != 0; });
    };
    g_tickCount = 9;
    say(json("sys_run_finish"));
    pump();
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(g_tickCount, 0);
    EXPECT_EXIT(updateInfo_onTimer(g_loop, nullptr, EV_TIMER), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(heard(), json("sys_run_finish"));
    EXPECT_EQ(count(), 2);
    close(drops);
}
