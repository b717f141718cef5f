// The tick carried out: the address check. A new connection announcing the
// client from IDLE is the soak's (the manager going down and up).
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
