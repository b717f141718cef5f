// The built client as a process of its own, in the test's namespaces.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client/instance_lock.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"

using namespace testsupport;

namespace {
// Runs the client with args and redirections (killed with the test), stops
// it with SIGINT once its output holds stopAt, and kills it if it still runs
// 10 s after the start (status 137, through timeout, which passes SIGINT
// on): its exit status (-1 after a signal) and its output.
std::pair<int, std::string> runClient(const std::string &args, const std::string &stopAt = "")
{
    FILE *pipe = popen(
        ("echo $$; exec timeout -s KILL 10 setpriv --pdeathsig KILL " ROBOT_CLIENT_BIN " " + args).c_str(),
        "r");
    std::string text;
    char line[4096];
    for (bool stopping = stopAt.empty(); fgets(line, sizeof(line), pipe) != nullptr;) {
        text += line;
        if (!stopping && text.find(stopAt) != std::string::npos)
            stopping = kill(std::stoi(text), SIGINT) == 0;
    }
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.substr(text.find('\n') + 1)};
}
} // namespace

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
    EXPECT_NE(access(kRunDir, F_OK), 0);
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

// Two instances never both drive usb0: while one holds the lock (this test,
// here), a second ends at once with status 1 and one ERR line.
TEST(RobotClient, ASecondInstanceIsRefusedWithStatusOne)
{
    ASSERT_EQ(takeInstanceLock(kRunDir, kLockPath), InstanceLock::kTaken);
    const auto [status, out] = runClient("2>&1", "ev_run...\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(plain(out), "ERR: another robot-client is running (/run/robot-client/lock is held)\n");
}
