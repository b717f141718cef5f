// The cable watch on a real link: what it asks of the service manager (a
// stand-in systemctl records it) as usb0's carrier comes and goes.
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>

#include "client/cable_watch.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"

using namespace testsupport;

namespace {
// What the watch asked of systemctl, one line per call.
std::string asked()
{
    std::stringstream text;
    text << std::ifstream("/mnt/systemctl.args").rdbuf();
    return text.str();
}
const std::string kStart = "start --no-block robot-client-plugged.target\n";
const std::string kStop = "stop --no-block robot-client-plugged.target\n";
} // namespace

// A usb0 left down (a gadget's at boot) is set up, and a cable already in
// starts the target; a refusal shows as an ERR line.
TEST(CableWatch, SetsUsb0UpAndACableInAtTheStartStartsTheTarget)
{
    stubCommand("systemctl", "exit 5");
    makeUsbLink();
    sh("ip link set usb0 down");
    const OutputCapture out;
    cableWatchStart();
    EXPECT_EQ(asked(), kStart);
    EXPECT_EQ(sh("ip -o link show usb0 | grep -q '[<,]UP[,>]'"), 0);
    EXPECT_EQ(plain(out.text()),
              "NOTICE: usb0 carrier up: the cable is in; starting robot-client-plugged.target\n"
              "ERR: systemctl start --no-block robot-client-plugged.target failed with exit status 5\n");
}

// Each plug-in starts the target, each unplug (the cable out at the start
// too) stops it, and nothing else does: a notification for usb0 while the
// cable stays in (a new MTU) starts no deployment again.
TEST(CableWatch, EachPlugInStartsAndEachUnplugStopsTheTarget)
{
    stubCommand("systemctl", "");
    makeUsbLink();
    sh("ip link set mgr0 down");
    const int fd = cableWatchStart();
    for (const char *change : {"mgr0 up", "mgr0 down", "mgr0 up", "usb0 mtu 1400"}) {
        sh(std::string("ip link set ") + change);
        for (pollfd ready{fd, POLLIN, 0}; poll(&ready, 1, 300) > 0;)
            cableWatchRead(fd);
    }
    EXPECT_EQ(asked(), kStop + kStart + kStop + kStart);
}
