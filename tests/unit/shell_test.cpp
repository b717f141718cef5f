#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

#include "client/shell.h"
#include "tests/support/sandbox.h"

namespace {
std::string g_marker;
volatile sig_atomic_t g_interrupts = 0;
volatile sig_atomic_t g_afterCommand = 0;
} // namespace

TEST(RunShell, ReturnsTheCommandsStatus)
{
    EXPECT_EQ(runShell("true"), 0);
    EXPECT_EQ(shellExitStatus(runShell("exit 7")), 7);
    EXPECT_EQ(shellExitStatus(runShell("kill -TERM $$")), 128 + SIGTERM);
}

// A SIGINT that comes while a command runs reaches its handler once the command is over.
TEST(RunShell, KeepsAnInterruptPendingUntilTheCommandEnds)
{
    // A marker the command leaves when it ends, on a tmpfs private to this test's mount namespace.
    ASSERT_EQ(testsupport::sh("mount -t tmpfs rc-marker /mnt"), 0);
    g_marker = "/mnt/done";
    struct sigaction act {};
    struct sigaction old {};
    act.sa_handler = [](int) {
        g_interrupts = g_interrupts + 1;
        g_afterCommand = access(g_marker.c_str(), F_OK) == 0 ? 1 : 0;
    };
    sigaction(SIGINT, &act, &old);
    EXPECT_EQ(runShell(("kill -INT $PPID && sleep 1 && touch " + g_marker).c_str()), 0);
    sigaction(SIGINT, &old, nullptr);
    EXPECT_EQ(g_interrupts, 1);
    EXPECT_EQ(g_afterCommand, 1);
    testsupport::sh("umount /mnt");
}
