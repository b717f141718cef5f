#include "tests/unit/manager_peer.h"

// Any message in any state: the state it leaves and what it logs after "recv msg".
TEST(ManagerMessage, CommandsMoveTheStateAndAnythingElseIsLoggedAndDropped)
{
    EXPECT_EQ(getSysState(), SYS_STATE_IDLE); // where a process starts
    const std::tuple<std::string, int, std::string> cases[] = {
        {json("connected"), 1, ""},
        {json("sys_mountimg"), 4, ""},
        {json("sys_mount_finish"), 5, ""},
        {R"({"cmd":"sys_runing","respone":"ok"})", 7, "NOTICE: cmd 'sys_runing' respone 'ok'\n"},
        {json("connected") + json("sys_mountimg"), 1, ""}, // only the first value of a read counts
        {json("CONNECTED"), 42, "NOTICE: cmd->valuestring:CONNECTED discard\n"},
        {R"({"cmd":null})", 42, "NOTICE: cmd->valuestring:(null) discard\n"},
        {R"({"cmd":false,"respone":[1]})", 42,
         "NOTICE: cmd '(false)' respone '(array)'\nNOTICE: cmd->valuestring:(false) discard\n"},
        {R"({"command":"connected"})", 42, "ERR: cmd null"},
        {R"({"cmd":"conn)", 42, "ERR: cJSON_Parse failed\n"},
        {json("sys_exit"), 42, ""},
    };
    for (const auto &[text, state, log] : cases) {
        setSysState(42);
        OutputCapture out;
        EXPECT_EQ(handleManagerMsg(text.c_str()) == ManagerReply::kExit, text == json("sys_exit"));
        EXPECT_EQ(getSysState(), state) << text;
        EXPECT_EQ(plain(out.text()), "NOTICE: recv msg:" + text + "\n" + log);
    }
}

using ManagerLink = ManagerTest;

// Reads of at most 1024 bytes, each parsed on its own; "sys_run_finish" drops
// the page cache and clears the tick count; the link lasts until the manager
// closes it, and then nothing of it is left open.
TEST_F(ManagerLink, ReadsPiecesUntilTheManagerCloses)
{
    connectClient();
    const std::string first = R"({"cmd":"sys_runing","pad":")" + std::string(995, 'x') + "\"}"; // 1024 bytes
    g_tickCount = 9;
    OutputCapture out;
    const int fds = openFdCount();
    say(first + json("connected"));
    pump(), pump();
    say(json("sys_run_finish"));
    pump();
    onClientSock_cb(g_loop, &g_clientWatcher, EV_READ); // nothing to read: the link stands
    EXPECT_NE(g_clientFd, -1);
    close(peer_), peer_ = -1;
    pump();
    EXPECT_EQ(plain(out.text()),
              "NOTICE: recv msg:" + first + "\nNOTICE: recv msg:" + json("connected") +
                  "\nNOTICE: recv msg:" + json("sys_run_finish") +
                  "\nNOTICE: echo 1 > /proc/sys/vm/drop_caches\nWARN: client socket close!\n");
    EXPECT_EQ(getSysState(), SYS_STATE_RUN_FINISH);
    EXPECT_EQ(g_tickCount, 0);
    EXPECT_EQ(readAll(kDropCaches), "1\n");
    EXPECT_FALSE(g_clientFd != -1 || ev_is_active(&g_clientWatcher));
    EXPECT_EQ(openFdCount(), fds - 2); // both ends of the link, and nothing else, are gone
}

// "sys_exit" ends the process with status 0 and closes the link without sending.
TEST_F(ManagerLink, ExitEndsTheProcessWithoutSending)
{
    connectClient();
    say(json("sys_exit"));
    EXPECT_EXIT(pump(), ::testing::ExitedWithCode(0), "");
    ev_io_stop(g_loop, &g_clientWatcher);
    close(g_clientFd), g_clientFd = -1; // the parent's copy of the link
    EXPECT_EQ(heard(20), json("connected"));
}
