#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

#include "client/instance_lock.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"
#include "tests/unit/run_client.h"

using namespace testsupport;

// The arguments are answered without running (no lock taken): --help with
// the usage on stdout and --version with the version, status 0; any other
// with the usage on stderr, nothing on stdout, status 2.
TEST(RobotClient, ArgumentsAreAnsweredWithoutRunning)
{
    const auto [status, out] = runClient("--help 2>/dev/null");
    EXPECT_TRUE(status == 0 && out.starts_with("Usage: robot-client [--help | --version]\n")) << out;
    EXPECT_EQ(runClient("--version"), std::pair(0, std::string("robot-client " RC_VERSION "\n")));
    const auto [other, err] = runClient("--daemon 2>&1 >/dev/null");
    EXPECT_TRUE(other == 2 && err.find("\nUsage: robot-client") != std::string::npos) << err;
    EXPECT_NE(access(kLockDir, F_OK), 0);
}

// A second client finds the lock held: one ERR line and status 1, before it
// touches anything (no netlink socket, no loop).
TEST(RobotClient, SecondInstanceIsRefusedWithStatusOne)
{
    ASSERT_EQ(takeInstanceLock(kLockDir, kLockPath), InstanceLock::kTaken);
    const auto [status, out] = runClient("2>&1", "ev_run...\n"); // stopped at once if it runs
    EXPECT_EQ(status, 1);
    EXPECT_EQ(plain(out), "ERR: another robot-client is running (/run/robot-client/lock is held)\n");
}

// LIBEV_FLAGS naming only a back-end that Linux lacks (kqueue): one ERR
// line and status 3, not a crash on the missing loop.
TEST(RobotClient, NoEventLoopIsReportedWithStatusThree)
{
    setenv("LIBEV_FLAGS", "8", 1);
    const auto [status, out] = runClient("2>&1", "ev_run...\n");
    unsetenv("LIBEV_FLAGS");
    EXPECT_EQ(status, 3);
    EXPECT_EQ(plain(out), "ERR: no event loop: libev has no back-end for LIBEV_FLAGS=8\n");
}

// Where the lock cannot be made (a read-only /run), a WARN line and the
// client runs on.
TEST(RobotClient, RunsOnWithAWarningWhereTheLockCannotBeMade)
{
    ASSERT_EQ(sh("mount -o remount,ro /run"), 0);
    const auto [status, text] = runClient("2>&1", "ev_run...\n");
    EXPECT_NE(plain(text).find("WARN: cannot take /run/robot-client/lock: Read-only file system"),
              std::string::npos)
        << text;
    EXPECT_EQ(status, 0);
}
