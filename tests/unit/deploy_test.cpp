// The tick carried out: the address check, the connection, the copies, the end.
#include "client/deploy.h"
#include "tests/unit/manager_peer.h"

namespace {
// One tick, and what an operator reads of its log.
std::string tick()
{
    const OutputCapture out;
    updateInfo_onTimer(g_loop, nullptr, EV_TIMER);
    return plain(out.text());
}
} // namespace

using DeployTick = ManagerTest;

TEST_F(DeployTick, AnotherAddressOnlyBringsUsb0Up)
{
    sh("ip addr flush dev usb0 && ip addr add 10.10.10.15/24 dev usb0");
    EXPECT_EQ(tick(), "NOTICE: GetLocalIp ipaddr =10.10.10.15 \nERR: robotManager GetLocalIp failed\n");
    EXPECT_EQ(heard(), "");
    EXPECT_EQ(sh("ip -4 addr show dev usb0 | grep -q 'inet 10.10.10.1/'"), 0);
}

TEST_F(DeployTick, ANewConnectionAnnouncesTheClientFromIdle)
{
    const int manager = managerListening();
    setSysState(SYS_STATE_RUNNING);
    tick();
    EXPECT_EQ(getSysState(), SYS_STATE_IDLE);
    peer_ = accept(manager, nullptr, nullptr);
    EXPECT_EQ(heard(), json("connected"));
}

// The decision's count is kept for the next tick.
TEST_F(DeployTick, RunningRemindsAndCountsAgain)
{
    setSysState(SYS_STATE_RUNNING);
    g_tickCount = 15;
    tick();
    EXPECT_EQ(heard(), json("sys_try_run"));
    EXPECT_EQ(g_tickCount, 0);
}

TEST_F(DeployTick, MountingReportsAndMovesOnEvenAfterFailedCopies)
{
    stubCommand("scp", "exit 3");
    setSysState(SYS_STATE_MOUNTING);
    EXPECT_EQ(tick(), "NOTICE: GetLocalIp ipaddr =10.10.10.1 \nNOTICE: updateInfo_onTimer status =4 \n"
                      "ERR: copy failed with exit status 3: scp -r /robot/app  root@10.10.10.2:/userdata/\n"
                      "ERR: copy failed with exit status 3: scp -r /robot/AI root@10.10.10.2:/userdata/\n");
    EXPECT_EQ(heard(), json("sys_mount_finish"));
    EXPECT_EQ(getSysState(), SYS_STATE_MOUNT_FINISH);
}

TEST_F(DeployTick, TheFinalTickReportsDropsTheCacheAndExits)
{
    setSysState(SYS_STATE_RUN_FINISH);
    EXPECT_EXIT(tick(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(heard(), json("sys_run_finish"));
    EXPECT_EQ(sh("test \"$(cat /proc/sys/vm/drop_caches)\" = 1"), 0);
}
