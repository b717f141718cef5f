#include <csignal>
#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

#include "client/util.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"

using namespace testsupport;

// Without usb0 the built client, started inside the test's own namespaces
// (killed with the test), logs its start, fails its first address check at
// the first tick, 2 s later, and stops in order on SIGINT with status 0.
TEST(RobotClient, StartsAndStopsOnSigint)
{
    const auto start = std::chrono::steady_clock::now();
    // The shell says its pid, then becomes the client. A client that hangs is
    // left to the test's time limit.
    FILE *pipe = popen("echo $$; exec setpriv --pdeathsig KILL " ROBOT_CLIENT_BIN " 2>&1", "r");
    std::string text;
    const auto readUntil = [&](const std::string &what) {
        char line[4096];
        while (text.find(what) == std::string::npos && fgets(line, sizeof(line), pipe) != nullptr)
            text += line;
        return text.find(what) != std::string::npos;
    };
    ASSERT_TRUE(readUntil("ev_run...\n")) << text;
    const pid_t pid = std::stoi(text);
    EXPECT_TRUE(std::regex_search(plain(text),
                                  std::regex("^\\d+\nNOTICE: create netlink socket \\d+\nNOTICE: ev_run")))
        << text;
    ASSERT_TRUE(readUntil("robotManager GetLocalIp failed\n")) << text;
    EXPECT_GE(secondsSince(start), 1.9);
    kill(pid, SIGINT);
    EXPECT_TRUE(readUntil("robot client exit!\n")) << text;
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(plain(text).ends_with("WARN: SIGINT exit...\nERR: robot client exit!\n")) << text;
}

// readFile: -1 for a missing file; at most n bytes, and no more than the file holds.
TEST(Util, ReadFile)
{
    char buf[32] = {};
    EXPECT_EQ(readFile("/nonexistent", buf, sizeof(buf)), -1);
    EXPECT_EQ(readFile("/proc/self/comm", buf, 4), 4);
    EXPECT_EQ(readFile("/proc/self/comm", buf, sizeof(buf)), 12); // "binary_test\n"
}
