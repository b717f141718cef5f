#include "tests/unit/manager_peer.h"

using testsupport::plain;

// Any message in any state: the state it leaves and what it logs after "recv msg".
TEST(ManagerMessage, CommandsMoveTheStateAndAnythingElseIsLoggedAndDropped)
{
    const std::tuple<std::string, int, std::string> cases[] = {
        {R"({"cmd":"connected"})", 1, ""},
        {R"({"cmd":"sys_mountimg"})", 4, ""},
        {R"({"cmd":"sys_mount_finish"})", 5, ""},
        {R"({"cmd":"sys_runing"})", 7, ""},
        {R"({"cmd":"connected"}{"cmd":"sys_mountimg"})", 1, ""},
        {R"({"CMD":"connected","other":1})", 1, ""},
        {R"({"cmd":"sys_runing","respone":"ok"})", 7, "NOTICE: cmd 'sys_runing' respone 'ok'\n"},
        {R"({"cmd":"CONNECTED"})", 42, "NOTICE: cmd->valuestring:CONNECTED discard\n"},
        {R"({"cmd":5})", 42, "NOTICE: cmd->valuestring:(number) discard\n"},
        {R"({"cmd":null})", 42, "NOTICE: cmd->valuestring:(null) discard\n"},
        {R"({"cmd":false,"respone":[1]})", 42,
         "NOTICE: cmd '(false)' respone '(array)'\nNOTICE: cmd->valuestring:(false) discard\n"},
        {R"({"command":"connected"})", 42, "ERR: cmd null"},
        {R"({"cmd":"conn)", 42, "ERR: cJSON_Parse failed\n"},
        {R"({"cmd":"sys_exit"})", 42, ""},
    };
    for (const auto &[text, state, log] : cases) {
        setSysState(42);
        testsupport::OutputCapture out;
        EXPECT_EQ(handleManagerMsg(text.c_str()) == ManagerReply::kExit, text == R"({"cmd":"sys_exit"})");
        EXPECT_EQ(getSysState(), state) << text;
        EXPECT_EQ(plain(out.text()), "NOTICE: recv msg:" + text + "\n" + log);
    }
}

class ManagerLink : public testsupport::ManagerTest {
  protected:
    void connectClient()
    {
        ASSERT_EQ(sendClientMsg(R"({"cmd":"connected"})", 0), 19);
        acceptPeer();
        EXPECT_EQ(heard(19), R"({"cmd":"connected"})");
    }
};

// Reads of at most 1024 bytes, each parsed on its own; the link lasts until the manager closes it.
TEST_F(ManagerLink, ReadsPiecesUntilTheManagerCloses)
{
    const int fds = testsupport::openFdCount();
    connectClient();
    std::string first = R"({"cmd":"sys_runing","pad":")";
    first += std::string(1024 - first.size() - 2, 'x') + "\"}";
    const std::string second = R"({"cmd":"connected"})", finish = R"({"cmd":"sys_run_finish"})";
    g_tickCount = 9;
    std::string log;
    {
        testsupport::OutputCapture out;
        say(first + second);
        pump();
        EXPECT_EQ(getSysState(), SYS_STATE_RUNNING);
        pump();
        EXPECT_EQ(getSysState(), SYS_STATE_CONNECTED);
        say(finish);
        pump();
        onClientSock_cb(g_loop, &g_clientWatcher, EV_READ); // nothing to read: the link stands
        EXPECT_NE(g_clientFd, -1);
        close(peer_), peer_ = -1;
        pump();
        log = plain(out.text());
    }
    EXPECT_EQ(log, "NOTICE: recv msg:" + first + "\nNOTICE: recv msg:" + second + "\nNOTICE: recv msg:" +
                       finish + "\nNOTICE: echo 1 > /proc/sys/vm/drop_caches\nWARN: client socket close!\n");
    EXPECT_EQ(getSysState(), SYS_STATE_RUN_FINISH);
    EXPECT_EQ(g_tickCount, 0);
    EXPECT_EQ(testsupport::readAll(testsupport::kDropCaches), "1\n");
    EXPECT_EQ(g_clientFd, -1);
    EXPECT_FALSE(ev_is_active(&g_clientWatcher));
    EXPECT_EQ(testsupport::openFdCount(), fds);
}

TEST_F(ManagerLink, ExitEndsTheProcessWithoutSending)
{
    connectClient();
    say(R"({"cmd":"sys_exit"})");
    EXPECT_EXIT(pump(), ::testing::ExitedWithCode(0), "");
    ev_io_stop(g_loop, &g_clientWatcher);
    close(g_clientFd), g_clientFd = -1; // the parent's copy of the link
    char byte = 0;
    EXPECT_EQ(read(peer_, &byte, 1), 0);
}

TEST_F(ManagerLink, SendWithTheManagerDownFails)
{
    stopListening();
    testsupport::OutputCapture out;
    EXPECT_EQ(sendClientMsg(R"({"cmd":"connected"})", 0), -1);
    EXPECT_EQ(g_clientFd, -1);
    EXPECT_EQ(plain(out.text()),
              "NOTICE: connect to 10.10.10.2:7901\nERR: connect error :Connection refused\n"
              "ERR: robotManager connect failed\n");
}
