#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

#include "client/shell.h"
#include "tests/support/sandbox.h"

namespace {
// 1 for each SIGINT handled after the command ended, 100 for each before.
volatile sig_atomic_t g_interrupts = 0;
} // namespace

// The command's status as a shell reports it; a SIGINT that comes while the
// command runs reaches its handler once, after the command is over.
TEST(RunShell, ReturnsStatusAndKeepsAnInterruptPending)
{
    EXPECT_EQ(shellExitStatus(runShell("exit 7")), 7);
    EXPECT_EQ(shellExitStatus(runShell("kill -TERM $$")), 128 + SIGTERM);
    // The marker the command leaves when it ends is on a tmpfs private to this test.
    ASSERT_EQ(testsupport::sh("mount -t tmpfs rc-marker /mnt"), 0);
    struct sigaction act = {}, old = {};
    act.sa_handler = [](int) { g_interrupts = g_interrupts + (access("/mnt/done", F_OK) == 0 ? 1 : 100); };
    sigaction(SIGINT, &act, &old);
    EXPECT_EQ(runShell("kill -INT $PPID && sleep 1 && touch /mnt/done"), 0);
    sigaction(SIGINT, &old, nullptr);
    EXPECT_EQ(g_interrupts, 1);
    testsupport::sh("umount /mnt");
}
