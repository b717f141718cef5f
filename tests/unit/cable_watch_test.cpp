// The cable watch on a real link against a stand-in for systemd: what it
// asks of systemd, what `systemctl status` shows (a socket of the test's own
// stands for the service manager's) as usb0's carrier comes and goes and
// the client unit changes. How each look at the client reads is
// cable_decision_test's.
#include <cstddef>
#include <gtest/gtest.h>
#include <regex>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "cable/cable_bus.h"
#include "cable/cable_watch.h"
#include "net/fd_guard.h"
#include "tests/support/sandbox.h"
#include "tests/support/systemd_peer.h"

using namespace testsupport;

namespace {

const std::string kStart = "StartUnit robot-client-plugged.target replace";
const std::string kStop = "StopUnit robot-client-plugged.target replace";
const std::string kIn = "cable in since HH:MM:SS: ", kClient = kIn + "robot-client.service ";
const std::string kWaiting = "waiting for the cable (usb0 carrier down)";

// The watch reaches the stand-in through the seam for tests.
int connectPeer()
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, "/run/rc-systemd-peer"};
    return connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) == 0 ? fd : -1;
}

class CableWatch : public ::testing::Test {
  protected:
    // The service manager's notification socket: an abstract name, which the
    // test's network namespace has to itself.
    void SetUp() override
    {
        sockaddr_un addr{AF_UNIX, "\0rc-cable-status"};
        bind(notify_.get(), reinterpret_cast<const sockaddr *>(&addr), offsetof(sockaddr_un, sun_path) + 16);
        setenv("NOTIFY_SOCKET", "@rc-cable-status", 1);
        sh("mkdir -p /run/robot-client");
        cableBusSetConnector(connectPeer);
        makeUsbLink();
    }
    // The last status shown, clock times as HH:MM:SS.
    std::string status()
    {
        std::array<char, 512> message{};
        for (ssize_t len; (len = recv(notify_.get(), message.data(), message.size(), MSG_DONTWAIT)) > 0;) {
            const std::string one(message.data(), static_cast<size_t>(len));
            if (const size_t at = one.find("STATUS="); at != std::string::npos)
                status_ = one.substr(at + 7);
        }
        return std::regex_replace(status_, std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2}"), "HH:MM:SS");
    }
    // Starts the watch with the cable out (as it asks, the target is stopped).
    void startUnplugged()
    {
        sh("ip link set mgr0 down");
        fd_ = cableWatchStart();
        EXPECT_EQ(peer_.next(), "connected");
        EXPECT_EQ(peer_.next(), kStop);
        EXPECT_EQ(status(), kWaiting);
    }
    // The cable in: the watch asks for the target's start.
    void plugIn()
    {
        sh("ip link set mgr0 up");
        while (!cableWatchFollowing())
            ASSERT_TRUE(cableWatchStep(fd_));
        EXPECT_EQ(peer_.next(), "connected");
        EXPECT_EQ(peer_.next(), kStart);
    }
    // Lets the watch act until the status is the one expected (or it stops following).
    void expectStatus(const std::string &expected)
    {
        while (cableWatchFollowing() && status() != expected)
            EXPECT_TRUE(cableWatchStep(fd_));
        EXPECT_EQ(status(), expected);
    }
    SystemdPeer peer_{"/run/rc-systemd-peer"};
    FdGuard notify_{socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    std::string status_;
    int fd_ = -1;
};

} // namespace

// A plug-in queues the target's start; the status follows the client to its
// end and tells the copies' result, also after the unplug stopped the target.
TEST_F(CableWatch, APlugInStartsTheTargetAndTheStatusTellsHowTheClientEnded)
{
    startUnplugged();
    peer_.onStart("activating start 42");
    plugIn();
    expectStatus(kClient + "started");
    writeDeployRecord(kDeployRecordPath, {DeployState::kFinished, 42, 0, 0, 0, 255});
    peer_.client("inactive dead 42 1 0");
    const std::string end =
        "robot-client.service ended at HH:MM:SS (exit status 0); copies: app ok, AI exit 255";
    expectStatus(kIn + end);
    EXPECT_FALSE(cableWatchFollowing());
    sh("ip link set mgr0 down");
    while (!status().starts_with(kWaiting))
        ASSERT_TRUE(cableWatchStep(fd_));
    EXPECT_EQ(peer_.next(), "connected");
    EXPECT_EQ(peer_.next(), kStop);
    EXPECT_EQ(status(), kWaiting + "; last plug-in at HH:MM:SS: " + end);
}

// A plug-in during the final report: the client that ran then ends without
// having seen it (its handshake started well before), and the target is
// started again, so a fresh client deploys.
TEST_F(CableWatch, AClientThatEndsAfterItsFinalReportIsStartedAgain)
{
    peer_.client("active running 7");
    writeDeployRecord(kDeployRecordPath, {DeployState::kRunning, 7, monotonicSeconds() - 30});
    startUnplugged();
    plugIn();
    EXPECT_EQ(status(), kClient + "was running; it starts the handshake again");
    peer_.onStart("active running 9");
    peer_.client("inactive dead 7");
    expectStatus(kClient + "started again after its final report");
    EXPECT_EQ(peer_.next(), kStart);
}

// systemd's socket closed (daemon-reexec): the watch connects again and
// reads the client's state again.
TEST_F(CableWatch, ADroppedConnectionIsMadeAgain)
{
    startUnplugged();
    peer_.onStart("active running 42");
    plugIn();
    expectStatus(kClient + "started");
    peer_.drop();
    peer_.client("inactive dead 42");
    expectStatus(kClient + "ended at HH:MM:SS (exit status 0); copies: no record of it");
    EXPECT_EQ(peer_.next(), "connected");
}

// Power-on with the cable in deploys and records usb0; a watch started
// again for the same usb0 (an upgrade, a crash) starts nothing.
TEST_F(CableWatch, ACableInAtTheStartDeploysOncePerUsb0)
{
    cableWatchStart();
    EXPECT_EQ(peer_.next(), "connected");
    EXPECT_EQ(peer_.next(), kStart);
    EXPECT_EQ(sh("grep -qx ifindex=40 /run/robot-client/cable"), 0);
    cableWatchStart();
    EXPECT_EQ(status(), "cable in since before HH:MM:SS (when this watch started): no deployment started "
                        "(the watch started again for the same usb0)");
}
