// The cable watch on a real link: what it asks of the service manager (a
// stand-in systemctl records it and plays the units), what `systemctl
// status` shows (a socket of the test's own stands for the service
// manager's) and what it logs, as usb0's carrier comes and goes.
#include <csignal>
#include <cstddef>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client/cable_watch.h"
#include "client/usb0.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"
#include "tests/unit/link_records.h"

extern char **environ;

using namespace testsupport;

namespace {

std::string readFile(const std::string &path)
{
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// What the watch asked of systemctl other than to show a unit, one line per call.
std::string actions()
{
    std::stringstream all(readFile("/mnt/systemctl.args"));
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

// Stands for the service manager's notification socket: what the watch
// shows in `systemctl status`.
class StatusCapture {
  public:
    StatusCapture() : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        // An abstract name: the test's network namespace has its own.
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::string name = std::string(1, '\0') + "rc-cable-status";
        name.copy(addr.sun_path, name.size());
        bind(fd_, reinterpret_cast<const sockaddr *>(&addr),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size()));
        setenv("NOTIFY_SOCKET", "@rc-cable-status", 1);
    }
    ~StatusCapture()
    {
        unsetenv("NOTIFY_SOCKET");
        close(fd_);
    }
    StatusCapture(const StatusCapture &) = delete;
    StatusCapture &operator=(const StatusCapture &) = delete;

    // Each status shown so far, one a line, clock times as HH:MM:SS.
    std::string text()
    {
        return std::regex_replace(raw(), std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2}"), "HH:MM:SS");
    }
    // The same with the times.
    std::string raw()
    {
        std::array<char, 512> message{};
        for (ssize_t len; (len = recv(fd_, message.data(), message.size(), MSG_DONTWAIT)) > 0;) {
            const std::string one(message.data(), static_cast<size_t>(len));
            if (const size_t at = one.find("STATUS="); at != std::string::npos)
                shown_ += one.substr(at + 7) + '\n';
        }
        return shown_;
    }

  private:
    int fd_;
    std::string shown_;
};

// Lets the watch act until nothing more comes within 300 ms and no plug-in
// is followed.
void settle(int fd)
{
    for (pollfd ready{fd, POLLIN, 0}; cableWatchFollowing() || poll(&ready, 1, 300) > 0;)
        ASSERT_TRUE(cableWatchStep(fd));
}

// Sets the cable: the far end of the veth up or down, and lets the watch act.
void cable(int fd, const char *state)
{
    sh(std::string("ip link set mgr0 ") + state);
    settle(fd);
}

const std::string kWaiting = "waiting for the cable (usb0 carrier down)\n";
const std::string kCableIn =
    "NOTICE: usb0 carrier up: the cable is in; starting robot-client-plugged.target\n";
const std::string kCableOut = "NOTICE: usb0 carrier down: waiting for the cable\n";
} // namespace

// A usb0 left down (a gadget's at boot) is set up, and a cable already in
// starts the target; a refused start shows as an ERR line and in the status.
TEST(CableWatch, SetsUsb0UpAndACableInAtTheStartStartsTheTarget)
{
    standIn(kNoClientYet, R"([ "$1" = start ] && exit 5)");
    makeUsbLink();
    sh("ip link set usb0 down");
    StatusCapture status;
    const OutputCapture out;
    cableWatchStart();
    EXPECT_EQ(actions(), kStart);
    EXPECT_EQ(sh("ip -o link show usb0 | grep -q '[<,]UP[,>]'"), 0);
    EXPECT_EQ(plain(out.text()),
              kCableIn +
                  "ERR: systemctl start --no-block robot-client-plugged.target failed with exit status 5\n");
    EXPECT_EQ(status.text(), "cable in since HH:MM:SS: systemctl start failed (exit status 5)\n");
    EXPECT_FALSE(cableWatchFollowing());
}

// Each plug-in starts the target, each unplug (the cable out at the start
// too) stops it, and nothing else does: a notification for usb0 while the
// cable stays in (a new MTU) starts no deployment again. The status says
// the client started once it was seen running.
TEST(CableWatch, EachPlugInStartsAndEachUnplugStopsTheTarget)
{
    standIn(kNoClientYet + "ActiveState=active ExecMainPID=7\nActiveState=active ExecMainPID=7\n" +
            "ActiveState=inactive ExecMainPID=7 ExecMainCode=1 ExecMainStatus=0\nActiveState=active "
            "ExecMainPID=8\n");
    makeUsbLink();
    sh("ip link set mgr0 down");
    StatusCapture status;
    const int fd = cableWatchStart();
    for (const char *state : {"up", "down", "up"})
        cable(fd, state);
    sh("ip link set usb0 mtu 1400");
    settle(fd);
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
    standIn("ActiveState=active ExecMainPID=7\nActiveState=active ExecMainPID=7\n"
            "ActiveState=inactive ExecMainPID=7 ExecMainCode=1 ExecMainStatus=0\nActiveState=active "
            "ExecMainPID=9\n");
    makeUsbLink();
    sh("ip link set mgr0 down");
    StatusCapture status;
    const int fd = cableWatchStart();
    const OutputCapture out;
    cable(fd, "up");
    EXPECT_EQ(actions(), kStop + kStart + kStopWaited + kStart);
    EXPECT_EQ(status.text(),
              kWaiting + "cable in since HH:MM:SS: robot-client.service was running; it starts the "
                         "handshake again\n"
                         "cable in since HH:MM:SS: robot-client.service started again after its final "
                         "report\n");
    EXPECT_EQ(plain(out.text()),
              kCableIn +
                  "NOTICE: robot-client.service was running; it starts the handshake again\n"
                  "NOTICE: robot-client.service ended without having seen the plug-in (its final report); "
                  "starting robot-client-plugged.target again\n"
                  "NOTICE: robot-client.service started again after its final report\n");
}

// A client that saw the carrier come up runs on through the watch's window:
// it is not started again, and the watch then stops looking at it.
TEST(CableWatch, AClientThatRunsOnAfterAPlugInIsLeftAlone)
{
    standIn("ActiveState=active ExecMainPID=7\n");
    makeUsbLink();
    sh("ip link set mgr0 down");
    StatusCapture status;
    const int fd = cableWatchStart();
    const time_t began = time(nullptr);
    cable(fd, "up");
    EXPECT_EQ(actions(), kStop + kStart);
    EXPECT_EQ(
        status.text(),
        kWaiting +
            "cable in since HH:MM:SS: robot-client.service was running; it starts the handshake again\n");
    EXPECT_LE(time(nullptr) - began, kFollowMs / 1000 + 2);
}

// A disabled client: the target starts, nothing else; the status says so.
TEST(CableWatch, ADisabledClientStartsNothingAndTheStatusSaysSo)
{
    standIn(kNoClientYet);
    std::ofstream("/mnt/target.show") << "Wants=\n";
    makeUsbLink();
    StatusCapture status;
    const OutputCapture out;
    cableWatchStart();
    EXPECT_FALSE(cableWatchFollowing());
    EXPECT_EQ(actions(), kStart);
    EXPECT_EQ(status.text(), "cable in since HH:MM:SS: robot-client.service is disabled; nothing started\n");
    EXPECT_EQ(plain(out.text()), kCableIn + "NOTICE: robot-client.service is disabled; nothing started\n");
}

// A client refused for another robot-client that holds the lock: the
// status tells its exit status and why.
TEST(CableWatch, AClientRefusedByTheLockShowsAsFailed)
{
    standIn(kNoClientYet + "ActiveState=failed ExecMainPID=7 ExecMainCode=1 ExecMainStatus=1\n");
    makeUsbLink();
    StatusCapture status;
    const OutputCapture out;
    settle(cableWatchStart());
    EXPECT_EQ(status.text(), "cable in since HH:MM:SS: robot-client.service failed (exit status 1: another "
                             "robot-client is running)\n");
    EXPECT_EQ(plain(out.text()),
              kCableIn +
                  "NOTICE: robot-client.service failed (exit status 1: another robot-client is running)\n");
}

// A watch started again (a package upgrade) while the target an earlier
// watch started for this cable is active: no deployment; the status tells
// since when the cable is in.
TEST(CableWatch, ARestartedWatchStartsNothingWhileTheTargetIsActive)
{
    standIn("ActiveState=active ExecMainPID=7\n");
    timespec mono{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    std::ofstream("/mnt/target") << "active\n";
    std::ofstream("/mnt/target.show")
        << "Wants=robot-client.service\nActiveEnterTimestampMonotonic=" << (mono.tv_sec - 600) * 1000000LL
        << "\n";
    makeUsbLink();
    StatusCapture status;
    const OutputCapture out;
    cableWatchStart();
    EXPECT_FALSE(cableWatchFollowing());
    EXPECT_EQ(actions(), "");
    EXPECT_EQ(status.text(), "cable in since HH:MM:SS (before this watch started): no deployment started\n");
    // Since the target became active: ten minutes ago (or a second more).
    const std::string shown = status.raw();
    bool since = false;
    for (const time_t ago : {600, 601}) {
        const time_t then = time(nullptr) - ago;
        struct tm local {};
        localtime_r(&then, &local);
        std::array<char, 16> clock{};
        strftime(clock.data(), clock.size(), "%H:%M:%S", &local);
        since = since || shown.starts_with(std::string("cable in since ") + clock.data() + " ");
    }
    EXPECT_TRUE(since) << shown;
    EXPECT_EQ(plain(out.text()), "NOTICE: usb0 carrier up since before this watch started "
                                 "(robot-client-plugged.target is active): no deployment started\n");
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
// (journald restarted) fails, and the watch goes on.
TEST(CableWatchBinary, ALogLineToAClosedStreamDoesNotEndIt)
{
    standIn(kNoClientYet);
    makeUsbLink();
    std::array<int, 2> pipeFds{};
    ASSERT_EQ(pipe2(pipeFds.data(), O_CLOEXEC), 0);
    close(pipeFds[0]); // every write to the pipe now fails
    posix_spawn_file_actions_t toPipe;
    posix_spawn_file_actions_init(&toPipe);
    posix_spawn_file_actions_adddup2(&toPipe, pipeFds[1], 1);
    std::array<std::string, 5> args{"timeout", "-s", "KILL", "30", ROBOT_CLIENT_CABLE_BIN};
    std::array<char *, 6> argv{args[0].data(), args[1].data(), args[2].data(),
                               args[3].data(), args[4].data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawnp(&pid, "timeout", &toPipe, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&toPipe);
    close(pipeFds[1]);
    // It logs the plug-in, then asks for the start (within 10 s, emulated too).
    int status = 0;
    for (int i = 0;
         i < 200 && actions().find("start") == std::string::npos && waitpid(pid, &status, WNOHANG) == 0; i++)
        usleep(50000);
    const bool running = waitpid(pid, &status, WNOHANG) == 0;
    EXPECT_TRUE(running) << "ended with wait status " << status;
    EXPECT_EQ(actions(), kStart);
    if (running) {
        kill(pid, SIGTERM);
        waitpid(pid, &status, 0);
    }
}
