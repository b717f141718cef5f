// Every shell command runs through runShell, as system() would run it.
#include <array>
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

// runShellRead hands back what the command printed, and its status.
TEST(RunShellRead, ReadsTheCommandsOutput)
{
    std::array<char, 64> out{};
    EXPECT_EQ(shellExitStatus(runShellRead("echo ActiveState=active; exit 3", out)), 3);
    EXPECT_STREQ(out.data(), "ActiveState=active\n");
}

// Output longer than the room is cut to fit; the command is not held up by
// a full pipe and ends as it would.
TEST(RunShellRead, CutsLongOutputAndLetsTheCommandEnd)
{
    std::array<char, 8> out{};
    EXPECT_EQ(runShellRead("head -c 200000 /dev/zero | tr '\\0' x", out), 0);
    EXPECT_STREQ(out.data(), "xxxxxxx");
}
