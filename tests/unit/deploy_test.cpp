// The tick carried out: the address check and usb0's bring-up.
#include <chrono>
#include <cstdlib>
#include <fstream>

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

// The bring-up lets the link settle half a second before ifconfig runs
// (the stand-in on PATH notes when, then runs the real one).
TEST_F(DeployTick, AnotherAddressOnlyBringsUsb0Up)
{
    sh("ip addr flush dev usb0 && ip addr add 10.10.10.15/24 dev usb0");
    sh("mkdir -p /run/bin && printf '#!/bin/sh\\ndate +%%s.%%N >/run/bin/ran\\nexec /sbin/ifconfig "
       "\"$@\"\\n' "
       ">/run/bin/ifconfig && chmod +x /run/bin/ifconfig");
    const std::string path = getenv("PATH");
    setenv("PATH", ("/run/bin:" + path).c_str(), 1);
    const auto called = std::chrono::system_clock::now();
    EXPECT_EQ(tick(), "NOTICE: GetLocalIp ipaddr =10.10.10.15 \nERR: robotManager GetLocalIp failed\n");
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(heard(), "");
    EXPECT_EQ(sh("ip -4 addr show dev usb0 | grep -q 'inet 10.10.10.1/'"), 0);
    double ran = 0;
    std::ifstream("/run/bin/ran") >> ran;
    EXPECT_GE(ran - std::chrono::duration<double>(called.time_since_epoch()).count(), 0.5);
}

// Running, the manager hears nothing for fifteen ticks and a reminder on the
// sixteenth, about every 32 s; then the count starts over.
TEST_F(DeployTick, RunningRemindsTheManagerOnEverySixteenthTick)
{
    setSysState(SYS_STATE_RUNNING);
    for (int reminder = 0; reminder < 2; ++reminder) {
        for (int quiet = 1; quiet < 16; ++quiet)
            tick();
        EXPECT_EQ(heard(), "");
        tick();
        EXPECT_EQ(heard(), json("sys_try_run"));
    }
}
