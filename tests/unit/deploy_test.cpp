#include "client/deploy.h"
#include "tests/unit/manager_peer.h"

namespace {
const auto sent = [](const std::string &cmd) { return "DEBUG: tcp send: " + json(cmd) + "\n"; };
const auto status = [](int s) { return "NOTICE: updateInfo_onTimer status =" + std::to_string(s) + " \n"; };
const std::string kAddr = "NOTICE: GetLocalIp ipaddr =10.10.10.1 \n";
const std::string kConnect = "NOTICE: connect to 10.10.10.2:7901\nDEBUG: usb0 Networkinit...\n";
const std::string kConnected = kConnect + "NOTICE: connect succeed.\nNOTICE: connected 10.10.10.2:7901\n";

// One tick, and what it logged.
std::string tick()
{
    OutputCapture out;
    updateInfo_onTimer(g_loop, nullptr, EV_TIMER);
    return plain(out.text());
}
} // namespace

using DeployTick = ManagerTest;

// A new connection restarts from idle; each state then sends its one message;
// running reminds on every sixteenth tick, a count that a new "sys_runing"
// does not reset; the final tick reports, drops the page cache and exits with 0.
TEST_F(DeployTick, EachStateActsAndAReconnectStartsOver)
{
    setSysState(SYS_STATE_RUNNING);
    EXPECT_EQ(tick(), kAddr + kConnected + status(0) + sent("connected"));
    acceptPeer();
    std::string wire = json("connected");
    const std::pair<int, std::string> cases[] = {{0, "connected"}, {1, "sys_mount"}, {5, "sys_run"}, {6, ""}};
    for (const auto &[state, cmd] : cases) {
        setSysState(state);
        EXPECT_EQ(tick(), kAddr + status(state) + (cmd.empty() ? "" : sent(cmd)));
        EXPECT_EQ(getSysState(), state);
        wire += cmd.empty() ? "" : json(cmd);
    }
    setSysState(SYS_STATE_RUNNING);
    for (int i = 1; i <= 16; ++i) {
        if (i == 11)
            handleManagerMsg(json("sys_runing").c_str());
        EXPECT_EQ(tick(), kAddr + status(7) + (i == 16 ? sent("sys_try_run") : ""));
        EXPECT_EQ(g_tickCount, i % 16);
    }
    EXPECT_EQ(heard(wire.size() + 21), wire + json("sys_try_run"));

    close(peer_); // the manager goes away; the next tick connects anew
    pump();
    EXPECT_EQ(tick(), kAddr + kConnected + status(0) + sent("connected"));
    acceptPeer();
    setSysState(SYS_STATE_RUN_FINISH);
    EXPECT_EXIT(tick(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(heard(19 + 24), json("connected") + json("sys_run_finish"));
    EXPECT_EQ(readAll(kDropCaches), "1\n");
}

// Both copies run; a failure is logged with its status and the sequence still moves on.
TEST_F(DeployTick, MountingCopiesAndReportsEvenAfterFailedCopies)
{
    // A stand-in scp that records its arguments and exits with the status in
    // /mnt/rc, on a tmpfs that lives only in this test's mount namespace.
    ASSERT_EQ(
        sh(R"(mount -t tmpfs rc-scp /mnt && printf '#!/bin/sh\necho "$*" >>/mnt/args\nexit $(cat /mnt/rc)' )"
           R"(>/mnt/scp && chmod +x /mnt/scp)"),
        0);
    setenv("PATH", ("/mnt:" + std::string(getenv("PATH"))).c_str(), 1);
    connectClient();
    const std::string failed =
        "ERR: copy failed with exit status 3: scp -r /robot/app  root@10.10.10.2:/userdata/\n"
        "ERR: copy failed with exit status 3: scp -r /robot/AI root@10.10.10.2:/userdata/\n";
    for (const std::string code : {"0", "3"}) {
        sh("echo " + code + " >/mnt/rc");
        setSysState(SYS_STATE_MOUNTING);
        EXPECT_EQ(tick(), kAddr + status(4) + (code == "0" ? "" : failed) + sent("sys_mount_finish"));
        EXPECT_EQ(getSysState(), SYS_STATE_MOUNT_FINISH);
    }
    EXPECT_EQ(heard(19 + 52), json("connected") + json("sys_mount_finish") + json("sys_mount_finish"));
    const std::string copies =
        "-r /robot/app root@10.10.10.2:/userdata/\n-r /robot/AI root@10.10.10.2:/userdata/\n";
    EXPECT_EQ(readAll("/mnt/args"), copies + copies);
}

// Without a manager: one attempt per running tick, two on a reminder tick;
// with a wrong address only the bring-up runs, and it restores the address.
TEST_F(DeployTick, WithoutAManagerOrAddress)
{
    close(listenFd_), listenFd_ = -1;
    setSysState(SYS_STATE_RUNNING);
    const std::string refused = "ERR: connect error :Connection refused\nERR: robotManager connect failed\n";
    EXPECT_EQ(tick(), kAddr + kConnect + refused + status(7));
    g_tickCount = 15;
    EXPECT_EQ(tick(),
              kAddr + kConnect + refused + status(7) + "NOTICE: connect to 10.10.10.2:7901\n" + refused);
    EXPECT_EQ(getSysState(), SYS_STATE_RUNNING);
    sh("ip addr flush dev usb0 && ip addr add 10.10.10.5/24 dev usb0");
    EXPECT_EQ(tick(), "NOTICE: GetLocalIp ipaddr =10.10.10.5 \nERR: robotManager GetLocalIp failed\n"
                      "DEBUG: usb0 Networkinit...\n");
    EXPECT_EQ(sh("ip -4 addr show dev usb0 | grep -q 'inet 10.10.10.1/'"), 0);
}
