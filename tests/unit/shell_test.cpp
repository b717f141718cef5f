// Every shell command runs through runShell, as system() would run it.
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "client/shell.h"

namespace {
// 1 for each SIGINT handled after the command ended, 100 for each before.
volatile sig_atomic_t g_interrupts = 0;
char g_marker[64];
} // namespace

TEST(RunShell, DeliversASigintOnlyAfterTheCommand)
{
    snprintf(g_marker, sizeof(g_marker), "/tmp/rc-shell-%d", getpid());
    signal(SIGINT, [](int) { g_interrupts = g_interrupts + (access(g_marker, F_OK) == 0 ? 1 : 100); });
    EXPECT_EQ(runShell(("kill -INT $PPID && sleep 1 && touch " + std::string(g_marker)).c_str()), 0);
    unlink(g_marker);
    EXPECT_EQ(g_interrupts, 1);
}

// The terminal's quit key reaches the client too; it must end only the command.
TEST(RunShell, IgnoresSigquitWhileTheCommandRuns)
{
    signal(SIGQUIT, SIG_DFL); // as a shell that started the test in the background may not leave it
    EXPECT_EQ(runShell("kill -QUIT $PPID"), 0);
    struct sigaction now = {};
    sigaction(SIGQUIT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

TEST(RunShell, TheCommandKeepsSigquitsDefault)
{
    EXPECT_EQ(shellExitStatus(runShell("kill -QUIT $$")), 128 + SIGQUIT);
}
