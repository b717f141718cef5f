#include <csignal>
#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

#include "client/instance_lock.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"

using namespace testsupport;

namespace {

// The built client runs in the test's namespaces with a /run of its own, so
// its lock never meets the host's.
class RobotClient : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(sh("mount -t tmpfs tmpfs /run"), 0); }
};

// Runs the client to its end: its exit status and what the shell redirection
// leaves on the pipe.
std::pair<int, std::string> runClient(const std::string &argsAndRedirection)
{
    FILE *pipe = popen((ROBOT_CLIENT_BIN " " + argsAndRedirection).c_str(), "r");
    std::string text(4096, '\0');
    text.resize(fread(text.data(), 1, text.size(), pipe));
    return {WEXITSTATUS(pclose(pipe)), text};
}

// Runs the client until its log holds what, then stops it with SIGINT: its
// exit status and its output (the shell's pid first). The client is killed
// with the test.
std::pair<int, std::string> runUntil(const std::string &what)
{
    FILE *pipe = popen("echo $$; exec setpriv --pdeathsig KILL " ROBOT_CLIENT_BIN " 2>&1", "r");
    std::string text;
    char line[4096];
    while (text.find(what) == std::string::npos && fgets(line, sizeof(line), pipe) != nullptr)
        text += line;
    kill(std::stoi(text), SIGINT);
    while (fgets(line, sizeof(line), pipe) != nullptr)
        text += line;
    return {pclose(pipe), text};
}

} // namespace

// Without usb0 the client logs its start, fails its first address check at
// the first tick, 2 s later, and stops in order on SIGINT with status 0.
TEST_F(RobotClient, StartsAndStopsOnSigint)
{
    const auto start = std::chrono::steady_clock::now();
    const auto [status, text] = runUntil("robotManager GetLocalIp failed\n");
    EXPECT_GE(secondsSince(start), 1.9);
    EXPECT_TRUE(std::regex_search(plain(text),
                                  std::regex("^\\d+\nNOTICE: create netlink socket \\d+\nNOTICE: ev_run")))
        << text;
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(plain(text).ends_with("WARN: SIGINT exit...\nERR: robot client exit!\n")) << text;
}

// --help prints the usage on stdout, exits 0 and touches nothing (no lock).
TEST_F(RobotClient, HelpPrintsUsageAndExitsZero)
{
    const auto [status, out] = runClient("--help 2>/dev/null");
    EXPECT_TRUE(status == 0 && out.starts_with("Usage: robot-client [--help | --version]\n")) << out;
    EXPECT_NE(access(kLockDir, F_OK), 0);
}

// --version prints the name and the project's version and exits 0.
TEST_F(RobotClient, VersionPrintsTheVersion)
{
    EXPECT_EQ(runClient("--version"), std::pair(0, std::string("robot-client " RC_VERSION "\n")));
}

// Any other argument: the usage on stderr, nothing on stdout, status 2.
TEST_F(RobotClient, UnknownArgumentPrintsUsageOnStderrAndExitsTwo)
{
    const auto [status, err] = runClient("--daemon 2>&1 >/dev/null");
    EXPECT_TRUE(status == 2 && err.find("\nUsage: robot-client") != std::string::npos) << err;
}

// A second client finds the lock held: one ERR line and status 1, before it
// touches anything (no netlink socket, no loop).
TEST_F(RobotClient, SecondInstanceIsRefusedWithStatusOne)
{
    ASSERT_EQ(takeInstanceLock(kLockDir, kLockPath), InstanceLock::kTaken);
    const auto [status, out] = runClient("2>&1");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(plain(out), "ERR: another robot-client is running (/run/robot-client/lock is held)\n");
}

// Where the lock cannot be made (a read-only /run), a WARN line and the
// client runs on.
TEST_F(RobotClient, RunsOnWithAWarningWhereTheLockCannotBeMade)
{
    ASSERT_EQ(sh("mount -o remount,ro /run"), 0);
    const auto [status, text] = runUntil("ev_run...\n");
    EXPECT_NE(plain(text).find("WARN: cannot take /run/robot-client/lock: Read-only file system; running "
                               "without the single-instance lock\nNOTICE: create netlink socket"),
              std::string::npos)
        << text;
    EXPECT_EQ(status, 0);
}
