// Every shell command runs through runShell, as system() would run it.
#include <csignal>
#include <gtest/gtest.h>

#include "client/shell.h"

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
