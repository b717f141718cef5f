// The cable watch's decisions: whether a cable in at its start counts as a
// plug-in, what each look at the client leads to while a deployment is
// followed and what the status then says. Nothing is run. A started client,
// its end told with the record, and a client ended without seeing the
// plug-in started again, are cable_watch_test's.
#include <array>
#include <csignal>
#include <gtest/gtest.h>
#include <string>

#include "cable/cable_follow.h"
#include "tests/unit/protocol.h"

// Power-on and a new usb0 (no record, or another ifindex) count; the same
// usb0 again (the watch restarted) and a fresh dpkg marker do not.
TEST(CableInAtStart, CountsOncePerUsb0AndNotDuringAnInstallation)
{
    EXPECT_TRUE(cableInCountsAsPlugIn(0, 40, false));
    EXPECT_TRUE(cableInCountsAsPlugIn(40, 41, false));
    EXPECT_FALSE(cableInCountsAsPlugIn(40, 40, false));
    EXPECT_FALSE(cableInCountsAsPlugIn(0, 40, true));
}

namespace {

ClientLook client(UnitState state, long pid, int code = CLD_EXITED, int status = 0)
{
    return {state, pid, code, status};
}

struct Look : Case {
    Follow follow;
    ClientLook client;
    DeployRecord record;
    std::string verdict; // the step; the status then
};
class LookAt : public ::testing::TestWithParam<Look> {};

TEST_P(LookAt, Decides)
{
    setenv("TZ", "UTC", 1);
    Follow follow = GetParam().follow;
    const Verdict verdict = followClient(follow, GetParam().client, GetParam().record);
    Told told{verdict.news, GetParam().client, 0, GetParam().record, "why"};
    std::array<char, 256> text{};
    constexpr std::array<const char *, 3> kSteps = {"follow", "start again", "done"};
    EXPECT_EQ(std::string(kSteps.at(static_cast<size_t>(verdict.step))) + "; " +
                  statusText(true, 0, told, text),
              GetParam().verdict);
}

using enum UnitState;
constexpr double kPlugIn = 100;
// None ran at the plug-in, start job pending or ended; one ran (pid 7);
// after "restarting" was told.
constexpr Follow kStarting{true, false, 0, kPlugIn, false, true}, kStarted{true, false, 0, kPlugIn},
    kRan{true, true, 7, kPlugIn, false, false, 7}, kRestart{true, false, 0, kPlugIn, false, false, 42, true};
// The record of client 7: its handshake began long before the plug-in, or
// just before it (it saw it); client 42's with one copy failed.
const DeployRecord kBefore{DeployState::kRunning, 7, kPlugIn - 30},
    kSaw{DeployState::kRunning, 7, kPlugIn - 1}, kAiFailed{DeployState::kFinished, 42, 0, 0, 0, 255};
const std::string kNothing = "cable in since 00:00:00: ", kIn = kNothing + "robot-client.service ";
const Look kLooks[] = {
    {{"AQueuedStartIsAwaited"}, kStarting, client(kInactive, 0), {}, "follow; " + kNothing},
    {{"NothingStartedIsADisabledClient"},
     kStarted,
     client(kInactive, 0),
     {},
     "done; " + kIn + "is disabled; nothing started"},
    {{"AnAutoRestartIsRestartingNotFailed"},
     kStarted,
     client(kRestarting, 42, CLD_DUMPED, SIGSEGV),
     kAiFailed,
     "follow; " + kIn + "ended at 00:00:00 (killed by SIGSEGV); restarting; copies: app ok, AI exit 255"},
    {{"TheProcessAfterARestartIsSystemds"},
     kRestart,
     client(kRunning, 43),
     {},
     "follow; " + kIn + "started again by systemd"},
    {{"EndedHavingSeenThePlugInIsDone"},
     kRan,
     client(kInactive, 7),
     kSaw,
     "done; " + kIn + "ended at 00:00:00 (exit status 0); copies: app not run, AI not run"},
    {{"RefusedByTheLockIsNotStartedAgain"},
     kRan,
     client(kFailed, 7, CLD_EXITED, 1),
     kBefore,
     "done; " + kIn +
         "failed at 00:00:00 (exit status 1: another robot-client is running); copies: app not run, AI not "
         "run"},
};
INSTANTIATE_TEST_SUITE_P(Follows, LookAt, ::testing::ValuesIn(kLooks),
                         behaviourOf<::testing::TestParamInfo<Look>>);

} // namespace
