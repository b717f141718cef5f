// What the client does in time: the tick's cadence, the connect's limit.
// These wait for real time, so they run in the native build only (label
// "timing"). usb0's bring-up and the stop on SIGINT are the system tests'.
#include <cerrno>
#include <chrono>
#include <gtest/gtest.h>
#include <unistd.h>

#include "client/loop.h"
#include "net/net.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"

using namespace testsupport;
using std::chrono::milliseconds, std::chrono::steady_clock;

namespace {
int g_ticks = 0;
// Long enough to leave the tick a whole interval overdue.
constexpr useconds_t kOverrunUs = 4500000;
} // namespace

TEST(Loop, OneLateTickAfterAnotherCallbackOverran)
{
    struct ev_loop *loop = ev_loop_new(0);
    startUpdateTimer(loop, [](struct ev_loop *, ev_timer *, int) { ++g_ticks; });
    ev_timer slow;
    ev_timer_init(
        &slow, [](struct ev_loop *, ev_timer *, int) { usleep(kOverrunUs); }, 0.0, 0.0);
    ev_timer_start(loop, &slow);
    ev_run(loop, EVRUN_ONCE); // the slow callback alone
    const int before = g_ticks;
    for (int round = 0; round < 5; ++round) // rounds that do not block
        ev_run(loop, EVRUN_NOWAIT);
    EXPECT_EQ(g_ticks - before, 1);
    // ... and the 2 s cadence goes on from it.
    EXPECT_TRUE(ev_is_active(&g_updateTimer));
    EXPECT_GT(ev_timer_remaining(loop, &g_updateTimer), kTickSeconds - 0.5);
    ev_loop_destroy(loop);
}

TEST(TcpConnect, ASilentPeerTimesOutAfterSixSeconds)
{
    // vt0's peer end stays down, so the SYNs sent to 192.0.2.2 are dropped.
    ASSERT_EQ(sh("ip link add vt0 type veth peer name vt1 && ip link set vt0 up && ip addr add 192.0.2.1/24 "
                 "dev vt0 && ip neigh add 192.0.2.2 lladdr 02:00:00:00:00:02 dev vt0 nud permanent"),
              0);
    const OutputCapture out;
    const auto start = steady_clock::now();
    EXPECT_EQ(tcpConnect("192.0.2.2", 7901), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(steady_clock::now() - start, milliseconds(5500));
    EXPECT_EQ(plain(out.text()), "ERR: connect time out\n");
}
