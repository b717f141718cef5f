#include <sys/wait.h>

#include "client/deploy.h"
#include "tests/unit/manager_peer.h"

namespace {

std::string json(const std::string &cmd)
{
    return R"({"cmd":")" + cmd + R"("})";
}
std::string sent(const std::string &cmd)
{
    return "DEBUG: tcp send: " + json(cmd) + "\n";
}
std::string status(int state)
{
    return "NOTICE: updateInfo_onTimer status =" + std::to_string(state) + " \n";
}
const std::string kAddr = "NOTICE: GetLocalIp ipaddr =10.10.10.1 \n";
const std::string kConnect = "NOTICE: connect to 10.10.10.2:7901\n";
const std::string kCopies =
    "-r /robot/app root@10.10.10.2:/userdata/\n-r /robot/AI root@10.10.10.2:/userdata/\n";

// Answers the client as a manager would; exits 0 when every report came in
// order and the client closed the link right after the last one.
[[noreturn]] void runManager(int listenFd)
{
    alarm(30);
    const int fd = accept(listenFd, nullptr, nullptr);
    const char *script[][2] = {{"connected", "connected"},        {"sys_mount", "sys_mountimg"},
                               {"sys_mount_finish", ""},          {"sys_run", "sys_runing"},
                               {"sys_try_run", "sys_run_finish"}, {"sys_run_finish", ""}};
    std::string got;
    size_t at = 0;
    char chunk[512];
    for (const auto &[want, reply] : script) {
        ssize_t len = 0;
        while (got.find(json(want), at) == std::string::npos && (len = read(fd, chunk, sizeof(chunk))) > 0)
            got.append(chunk, static_cast<size_t>(len));
        if ((at = got.find(json(want), at)) == std::string::npos)
            _exit(3);
        at += json(want).size();
        if (*reply != '\0' && write(fd, json(reply).data(), json(reply).size()) <= 0)
            _exit(4);
    }
    _exit(got.size() == at && read(fd, chunk, 1) == 0 ? 0 : 5);
}

} // namespace

class DeployTick : public testsupport::ManagerTest {
  protected:
    void SetUp() override
    {
        ManagerTest::SetUp();
        // A stand-in scp that records its arguments and exits with the status in a file, on a
        // tmpfs that lives only in this test's mount namespace: nothing is left behind.
        ASSERT_EQ(testsupport::sh("mount -t tmpfs rc-fake-scp " + dir_), 0);
        std::ofstream(dir_ + "/scp") << "#!/bin/sh\necho \"$*\" >>" << dir_ << "/args\nexit $(cat " << dir_
                                     << "/rc)\n";
        copyStatus(0);
        testsupport::sh("chmod +x " + dir_ + "/scp");
        setenv("PATH", (dir_ + ":" + getenv("PATH")).c_str(), 1);
    }
    void TearDown() override
    {
        testsupport::sh("umount " + dir_);
        ManagerTest::TearDown();
    }
    void copyStatus(int code) { std::ofstream(dir_ + "/rc") << code << "\n"; }
    static std::string tick()
    {
        testsupport::OutputCapture out;
        updateInfo_onTimer(g_loop, nullptr, EV_TIMER);
        return testsupport::plain(out.text());
    }
    const std::string dir_ = "/mnt";
};

// A new connection restarts from idle; each state then sends its one message.
TEST_F(DeployTick, EachStateSendsItsMessageAndAReconnectStartsOver)
{
    const std::string connecting = kConnect + "DEBUG: usb0 Networkinit...\nNOTICE: connect succeed.\n"
                                              "NOTICE: connected 10.10.10.2:7901\n";
    for (const int round : {1, 2}) {
        setSysState(SYS_STATE_RUNNING);
        EXPECT_EQ(tick(), kAddr + connecting + status(0) + sent("connected"));
        acceptPeer();
        EXPECT_EQ(heard(19), json("connected"));
        if (round == 2)
            break;
        std::string expected;
        const std::pair<int, std::string> cases[] = {{0, "connected"}, {1, "sys_mount"}, {5, "sys_run"},
                                                     {2, ""},          {3, ""},          {6, ""}};
        for (const auto &[state, cmd] : cases) {
            setSysState(state);
            EXPECT_EQ(tick(), kAddr + status(state) + (cmd.empty() ? "" : sent(cmd)));
            EXPECT_EQ(getSysState(), state);
            expected += cmd.empty() ? "" : json(cmd);
        }
        EXPECT_EQ(heard(expected.size()), expected);
        close(peer_); // the manager goes away; the next tick connects anew
        pump();
        EXPECT_EQ(g_clientFd, -1);
    }
}

// Both copies run; failures are logged and the sequence still moves on.
TEST_F(DeployTick, MountingCopiesAndReportsEvenAfterFailedCopies)
{
    tick();
    acceptPeer();
    const std::string failed =
        "ERR: copy failed with exit status 3: scp -r /robot/app  root@10.10.10.2:/userdata/\n"
        "ERR: copy failed with exit status 3: scp -r /robot/AI root@10.10.10.2:/userdata/\n";
    for (const int code : {0, 3}) {
        copyStatus(code);
        setSysState(SYS_STATE_MOUNTING);
        EXPECT_EQ(tick(), kAddr + status(4) + (code ? failed : "") + sent("sys_mount_finish"));
        EXPECT_EQ(getSysState(), SYS_STATE_MOUNT_FINISH);
    }
    EXPECT_EQ(heard(19 + 52), json("connected") + json("sys_mount_finish") + json("sys_mount_finish"));
    EXPECT_EQ(testsupport::readAll(dir_ + "/args"), kCopies + kCopies);
}

// The count survives a new "sys_runing"; every sixteenth tick reminds the manager.
TEST_F(DeployTick, RunningRemindsOnEverySixteenthTick)
{
    tick();
    acceptPeer();
    setSysState(SYS_STATE_RUNNING);
    for (int i = 1; i <= 16; ++i) {
        if (i == 11)
            handleManagerMsg(json("sys_runing").c_str());
        EXPECT_EQ(tick(), kAddr + status(7) + (i == 16 ? sent("sys_try_run") : ""));
        EXPECT_EQ(g_tickCount, i % 16);
    }
    EXPECT_EQ(heard(19 + 21), json("connected") + json("sys_try_run"));
}

// Without a manager: one attempt per running tick, two on a reminder tick, and
// the final tick still exits; with a wrong address only the bring-up runs.
TEST_F(DeployTick, WithoutAManagerOrAddress)
{
    stopListening();
    setSysState(SYS_STATE_RUNNING);
    const std::string refused = "ERR: connect error :Connection refused\nERR: robotManager connect failed\n";
    const std::string attempt = kConnect + "DEBUG: usb0 Networkinit...\n" + refused;
    EXPECT_EQ(tick(), kAddr + attempt + status(7));
    g_tickCount = 15;
    EXPECT_EQ(tick(), kAddr + attempt + status(7) + kConnect + refused);
    EXPECT_EQ(getSysState(), SYS_STATE_RUNNING);
    setSysState(SYS_STATE_RUN_FINISH);
    EXPECT_EXIT(tick(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(testsupport::readAll(testsupport::kDropCaches), "1\n");

    testsupport::sh("ip addr flush dev usb0 && ip addr add 10.10.10.5/24 dev usb0");
    EXPECT_EQ(tick(), "NOTICE: GetLocalIp ipaddr =10.10.10.5 \nERR: robotManager GetLocalIp failed\n"
                      "DEBUG: usb0 Networkinit...\n");
    EXPECT_EQ(testsupport::sh("ip -4 addr show dev usb0 | grep -q 'inet 10.10.10.1/'"), 0);
}

// The real loop with a scripted manager, from the announcement to the final report.
TEST_F(DeployTick, WholeSequenceEndsWithStatusZero)
{
    const pid_t manager = fork();
    if (manager == 0)
        runManager(listenFd_);
    EXPECT_EXIT(
        {
            ev_timer ticks;
            ev_timer guard;
            ev_timer_init(&ticks, updateInfo_onTimer, 0.1, 0.1);
            ev_timer_init(
                &guard, [](struct ev_loop *, ev_timer *, int) { _exit(6); }, 30, 0);
            ev_timer_start(g_loop, &ticks);
            ev_timer_start(g_loop, &guard);
            ev_run(g_loop, 0);
        },
        ::testing::ExitedWithCode(0), "");
    int managerStatus = -1;
    waitpid(manager, &managerStatus, 0);
    EXPECT_EQ(managerStatus, 0);
    EXPECT_EQ(testsupport::readAll(testsupport::kDropCaches), "1\n");
    EXPECT_EQ(testsupport::readAll(dir_ + "/args"), kCopies);
}
