#include <csignal>
#include <gtest/gtest.h>
#include <poll.h>
#include <regex>
#include <unistd.h>

#include "client/util.h"
#include "tests/support/checks.h"
#include "tests/support/sandbox.h"

using namespace testsupport;

namespace {
// The built robot-client, started by the test and so inside the test's own
// namespaces, and killed with it; the shell says its pid, then becomes the client.
struct Client {
    FILE *pipe = popen("echo $$; exec setpriv --pdeathsig KILL " ROBOT_CLIENT_BIN " 2>&1", "r");
    pid_t pid = 0;
    std::string text;
    ~Client()
    {
        if (pid > 0)
            kill(pid, SIGKILL);
        if (pipe != nullptr)
            pclose(pipe);
    }

    // Reads until the output holds `what` (true), or it ends, or 10 s pass.
    bool readUntil(const std::string &what)
    {
        const auto start = std::chrono::steady_clock::now();
        char chunk[4096];
        while (what.empty() || text.find(what) == std::string::npos) {
            pollfd ready{fileno(pipe), POLLIN, 0};
            ssize_t got = 0;
            if (poll(&ready, 1, static_cast<int>(10000 - 1000 * secondsSince(start))) <= 0 ||
                (got = read(fileno(pipe), chunk, sizeof(chunk))) <= 0)
                return false;
            text.append(chunk, static_cast<size_t>(got));
            if (pid == 0 && text.find('\n') != std::string::npos) {
                pid = std::stoi(text);
                text.erase(0, text.find('\n') + 1);
            }
        }
        return true;
    }
};
} // namespace

// Without usb0 the client starts its loop, fails its first address check at
// the first tick, 2 s later, and stops in order on SIGINT with status 0.
TEST(RobotClient, StartsAndStopsOnSigint)
{
    ASSERT_NE(sh("ip link show usb0 >/dev/null 2>&1"), 0);
    const auto start = std::chrono::steady_clock::now();
    Client client;
    ASSERT_TRUE(client.readUntil("ev_run...\n")) << client.text;
    // The colour reset after a newline waits in the line buffer for the next line.
    const std::string first =
        std::regex_replace(unstamped(client.text), std::regex("socket \\d+\n"), "socket N\n");
    EXPECT_TRUE((logLine(2, "create netlink socket N\n") + logLine(2, "ev_run...\n")).starts_with(first))
        << first;
    ASSERT_TRUE(client.readUntil("robotManager GetLocalIp failed\n")) << client.text;
    EXPECT_GE(secondsSince(start), 1.9);

    kill(client.pid, SIGINT);
    client.readUntil("");
    const int status = pclose(client.pipe);
    client.pid = 0;
    client.pipe = nullptr;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(
        unstamped(client.text).ends_with(logLine(1, "SIGINT exit...\n") + logLine(0, "robot client exit!\n")))
        << client.text;
}

// readFile gives -1 for a missing file and at most n bytes of an existing one;
// getTimeSec is the wall-clock time.
TEST(Util, ReadFileAndTime)
{
    const std::string dir = makeTempDir();
    char buf[64] = {};
    EXPECT_EQ(readFile((dir + "/missing").c_str(), buf, sizeof(buf)), -1);
    ASSERT_EQ(sh("printf hello > " + dir + "/f"), 0);
    EXPECT_EQ(readFile((dir + "/f").c_str(), buf, sizeof(buf)), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(readFile((dir + "/f").c_str(), buf, 3), 3);
    sh("rm -r " + dir);
    const time_t before = time(nullptr);
    const long now = getTimeSec();
    EXPECT_TRUE(now >= before && now <= time(nullptr)) << now;
}
