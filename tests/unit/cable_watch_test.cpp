// The cable watch on a real link: what it asks of the service manager (a
// stand-in systemctl records it and plays the units), what `systemctl
// status` shows (a socket of the test's own stands for the service
// manager's) and what it logs, as usb0's carrier comes and goes.
#include <cstddef>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "client/cable_watch.h"
#include "client/usb0.h"
#include "net/fd_guard.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"
#include "tests/unit/link_records.h"

using namespace testsupport;

namespace {

// What the watch asked of systemctl other than to show a unit, one line per call.
std::string actions()
{
    std::ifstream all("/mnt/systemctl.args");
    std::string out;
    for (std::string line; std::getline(all, line);)
        if (!line.starts_with("show "))
            out += line + '\n';
    return out;
}
const std::string kStart = "start --no-block robot-client-plugged.target\n";
const std::string kStop = "stop --no-block robot-client-plugged.target\n";
// The stop that a plug-in waits for before its start.
const std::string kStopWaited = "stop robot-client-plugged.target\n";

// A systemctl that plays the target and the client. The target's state is
// /mnt/target (start and stop change it) with more of `show` in
// /mnt/target.show; each look at the client shows the next line of
// /mnt/client (its properties, separated by spaces), the last line again
// once they run out. first runs before all that (e.g. to refuse a start).
void standIn(const std::string &client, const std::string &first = "")
{
    stubCommand("systemctl", first + R"sh(
case $1 in
show)
  for unit; do :; done
  if [ "$unit" = robot-client-plugged.target ]; then
    echo "ActiveState=$(cat /mnt/target)" && cat /mnt/target.show
  else
    n=$(($(cat /mnt/client.n 2>/dev/null || echo 0) + 1)) && echo $n >/mnt/client.n
    sed -n "${n}p;\$p" /mnt/client | head -n 1 | tr ' ' '\n'
  fi ;;
start) echo active >/mnt/target ;;
stop) echo inactive >/mnt/target ;;
esac)sh");
    std::ofstream("/mnt/target") << "inactive\n";
    std::ofstream("/mnt/target.show") << "Wants=robot-client.service\n";
    std::ofstream("/mnt/client") << client;
}
const std::string kNoClientYet = "ActiveState=inactive ExecMainPID=0\n";

// Stands for the service manager's notification socket (an abstract name:
// the test's network namespace has its own): what `systemctl status` shows.
class StatusCapture {
  public:
    StatusCapture()
    {
        sockaddr_un addr{AF_UNIX, "\0rc-cable-status"};
        bind(fd_.get(), reinterpret_cast<const sockaddr *>(&addr), offsetof(sockaddr_un, sun_path) + 16);
        setenv("NOTIFY_SOCKET", "@rc-cable-status", 1);
    }
    ~StatusCapture() { unsetenv("NOTIFY_SOCKET"); }
    // Each status shown so far, one a line, clock times as HH:MM:SS.
    std::string text()
    {
        std::array<char, 512> message{};
        for (ssize_t len; (len = recv(fd_.get(), message.data(), message.size(), MSG_DONTWAIT)) > 0;) {
            const std::string one(message.data(), static_cast<size_t>(len));
            if (const size_t at = one.find("STATUS="); at != std::string::npos)
                shown_ += one.substr(at + 7) + '\n';
        }
        return std::regex_replace(shown_, std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2}"), "HH:MM:SS");
    }

  private:
    FdGuard fd_{socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    std::string shown_;
};

// Lets the watch act until nothing more comes within 300 ms and no plug-in
// is followed.
void settle(int fd)
{
    for (pollfd ready{fd, POLLIN, 0}; cableWatchFollowing() || poll(&ready, 1, 300) > 0;)
        ASSERT_TRUE(cableWatchStep(fd));
}

const std::string kWaiting = "waiting for the cable (usb0 carrier down)\n";
} // namespace

// A usb0 left down (a gadget's at boot) is set up, and a cable already in
// starts the target; a refused start shows in the status.
TEST(CableWatch, SetsUsb0UpAndACableInAtTheStartStartsTheTarget)
{
    standIn(kNoClientYet, R"([ "$1" = start ] && exit 5)");
    makeUsbLink();
    sh("ip link set usb0 down");
    StatusCapture status;
    cableWatchStart();
    EXPECT_EQ(actions(), kStart);
    EXPECT_EQ(sh("ip -o link show usb0 | grep -q '[<,]UP[,>]'"), 0);
    EXPECT_EQ(status.text(), "cable in since HH:MM:SS: systemctl start failed (exit status 5)\n");
}

// Each plug-in starts the target, each unplug (the cable out at the start
// too) stops it, and nothing else does: a notification for usb0 while the
// cable stays in (a new MTU) starts no deployment again. The status says
// the client started once it was seen running.
TEST(CableWatch, EachPlugInStartsAndEachUnplugStopsTheTarget)
{
    standIn(kNoClientYet + "ActiveState=active ExecMainPID=7\nActiveState=active ExecMainPID=7\n" +
            "ActiveState=inactive ExecMainPID=7\nActiveState=active ExecMainPID=8\n");
    makeUsbLink();
    sh("ip link set mgr0 down");
    StatusCapture status;
    const int fd = cableWatchStart();
    for (const char *cmd : {"mgr0 up", "mgr0 down", "mgr0 up", "usb0 mtu 1400"}) {
        sh(std::string("ip link set ") + cmd);
        settle(fd);
    }
    EXPECT_EQ(actions(), kStop + kStart + kStop + kStart);
    const std::string started = "cable in since HH:MM:SS: robot-client.service started\n";
    EXPECT_EQ(status.text(), kWaiting + started + kWaiting + started);
}

// An unplug and a plug-in in one read: the target, still active, is stopped
// (waited for) before it is started, so that the start pulls the client in.
TEST(CableWatch, AnUnplugAndAPlugInInOneReadStopTheTargetBeforeTheStart)
{
    standIn(kNoClientYet);
    std::ofstream("/mnt/target.show") << "Wants=\n"; // no client to follow
    makeUsbLink();
    cableWatchStart();
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    const std::string downAndUp = newLink(40, "usb0", IFF_UP) + newLink(40, "usb0");
    send(pair[1], downAndUp.data(), downAndUp.size(), 0);
    EXPECT_TRUE(cableWatchRead(pair[0]));
    close(pair[0]), close(pair[1]);
    EXPECT_EQ(actions(), kStart + kStopWaited + kStart);
}

// A plug-in during the client's final report: the client ends without
// having seen the carrier come up, and the watch starts the target again
// (stopping it first), so a fresh client deploys.
TEST(CableWatch, AClientThatEndsAfterItsFinalReportIsStartedAgain)
{
    standIn("ActiveState=active ExecMainPID=7\nActiveState=inactive ExecMainPID=7\n"
            "ActiveState=active ExecMainPID=9\n");
    makeUsbLink();
    sh("ip link set mgr0 down");
    StatusCapture status;
    const int fd = cableWatchStart();
    sh("ip link set mgr0 up");
    settle(fd);
    EXPECT_EQ(actions(), kStop + kStart + kStopWaited + kStart);
    EXPECT_EQ(status.text(),
              kWaiting + "cable in since HH:MM:SS: robot-client.service was running; it starts the "
                         "handshake again\n"
                         "cable in since HH:MM:SS: robot-client.service started again after its final "
                         "report\n");
}

// A watch started again (a package upgrade) while the target an earlier
// watch started for this cable is active: no deployment; the status tells
// since when the cable is in.
TEST(CableWatch, ARestartedWatchStartsNothingWhileTheTargetIsActive)
{
    standIn(kNoClientYet);
    std::ofstream("/mnt/target") << "active\n";
    std::ofstream("/mnt/target.show") << "Wants=robot-client.service\nActiveEnterTimestampMonotonic=1\n";
    makeUsbLink();
    StatusCapture status;
    cableWatchStart();
    EXPECT_EQ(actions(), "");
    EXPECT_EQ(status.text(), "cable in since HH:MM:SS (before this watch started): no deployment started\n");
}

// The same where no target is active but a client has already run on this
// usb0 (its address is on it): the watch restarted after an upgrade from a
// version that had no watch.
TEST(CableWatch, ARestartedWatchStartsNothingWhereAClientRanOnUsb0)
{
    standIn(kNoClientYet);
    makeUsbLink(kClientIp);
    StatusCapture status;
    cableWatchStart();
    EXPECT_EQ(actions(), "");
    EXPECT_EQ(status.text(),
              "cable in since before HH:MM:SS (when this watch started): no deployment started\n");
}

// A socket that cannot be read ends the watch with an ERR line and status
// 1, for the unit's Restart=on-failure, rather than spinning.
TEST(CableWatch, ASocketThatCannotBeReadEndsTheWatchWithStatusOne)
{
    standIn(kNoClientYet);
    makeUsbLink();
    sh("ip link set mgr0 down");
    const int fd = cableWatchStart();
    close(fd);
    const OutputCapture out;
    EXPECT_EQ(cableWatchRun(fd), 1);
    EXPECT_EQ(plain(out.text()), "ERR: cannot read link notifications: Bad file descriptor\n");
}

// The built watch ignores SIGPIPE: a log line to a closed standard output
// (journald restarted) fails, and the watch goes on. Its output is a FIFO
// whose reader is gone; it logs the plug-in, then asks for the start
// (within 10 s, emulated too) and must still run then.
TEST(CableWatchBinary, ALogLineToAClosedStreamDoesNotEndIt)
{
    standIn(kNoClientYet);
    makeUsbLink();
    EXPECT_EQ(sh(std::string("mkfifo /mnt/out && exec 3<>/mnt/out 4>/mnt/out 3<&- || exit 9; timeout 30 ") +
                 ROBOT_CLIENT_CABLE_BIN +
                 " >&4 & watch=$!; exec 4>&-; for i in $(seq 200); do "
                 "grep -q ^start /mnt/systemctl.args && break; sleep 0.05; done; "
                 "kill -0 $watch; ran=$?; kill $watch; wait $watch; exit $ran"),
              0);
    EXPECT_EQ(actions(), kStart);
}
