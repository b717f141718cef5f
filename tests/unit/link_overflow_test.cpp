#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client/link_watch.h"
#include "client/state.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"

using namespace testsupport;

namespace {

constexpr const char *kLost = "WARN: link notifications lost (ENOBUFS); asking the kernel for usb0\n";

// Overflows a new watch socket for real (the smallest receive buffer, a burst
// of bridges made and removed), then lets the callback read once: its log.
std::string overflowAndRead()
{
    ev_io watcher;
    ev_io_init(&watcher, onNetlinkSock_cb, createNetlinkSock(), EV_READ);
    const int smallest = 0;
    setsockopt(watcher.fd, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof(smallest));
    sh("for i in 1 2 3 4 5 6 7 8; do ip link add rcbr$i type bridge && ip link del rcbr$i; done");
    OutputCapture out;
    onNetlinkSock_cb(ev_default_loop(0), &watcher, EV_READ);
    close(watcher.fd);
    return plain(out.text());
}

} // namespace

// usb0 last seen down and up now, once notifications were lost: a plug-in.
TEST(LinkOverflow, LostPlugInRestartsTheDeployment)
{
    makeUsbLink();
    sh("ip link set mgr0 down");
    overflowAndRead(); // the watch learns usb0 is down
    sh("ip link set mgr0 up");
    setSysState(SYS_STATE_RUNNING);
    EXPECT_NE(overflowAndRead().find(kLost), std::string::npos);
    EXPECT_EQ(getSysState(), SYS_STATE_IDLE);
}

// usb0 up before and after the lost notifications: nothing to do.
TEST(LinkOverflow, CarrierThatStayedUpChangesNothing)
{
    makeUsbLink();
    overflowAndRead(); // the watch learns usb0 is up
    setSysState(SYS_STATE_RUNNING);
    EXPECT_NE(overflowAndRead().find(kLost), std::string::npos);
    EXPECT_EQ(getSysState(), SYS_STATE_RUNNING);
}
