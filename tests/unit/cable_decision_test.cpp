// The cable watch's decisions, from what systemctl shows: what a plug-in
// does, what a look at the client leads to and what the status then says,
// whether a cable in at the watch's start counts as a plug-in. Nothing is run.
#include <array>
#include <gtest/gtest.h>
#include <string>

#include "client/cable_watch.h"
#include "tests/unit/protocol.h"

namespace {

constexpr UnitState kUnknown = UnitState::kUnknown, kInactive = UnitState::kInactive,
                    kStarting = UnitState::kStarting, kActive = UnitState::kActive,
                    kStopping = UnitState::kStopping, kFailed = UnitState::kFailed,
                    kRestarting = UnitState::kRestarting;

// A unit as `systemctl show` tells it; the target wants the client unless said.
UnitLook unit(UnitState state, long pid = 0, int exitStatus = 0, bool wantsClient = true)
{
    return {state, wantsClient, pid, exitStatus};
}

// What the status and the NOTICE line tell ("-": nothing).
std::string told(CableNews news, int exitStatus = 0)
{
    std::array<char, 160> text{};
    return news == CableNews::kNone ? "-" : cableNewsText(news, exitStatus, text);
}

// What the status and the NOTICE lines say of the client.
const std::string kClient = "robot-client.service ", kStarted = kClient + "started",
                  kRunning = kClient + "was running; it starts the handshake again",
                  kStartedAgain = kStarted + " again after its final report",
                  kNotStarted = kClient + "did not start",
                  kDisabled = kClient + "is disabled; nothing started",
                  kFail = kClient + "failed (exit status ",
                  kLocked = kFail + "1: another robot-client is running)";

// ---- A plug-in -------------------------------------------------------------

struct PlugIn : Case {
    UnitLook target, client;
    std::string plan; // stop first or not; what is told at once; how the client is followed
};
class PlugInWith : public ::testing::TestWithParam<PlugIn> {};

TEST_P(PlugInWith, Plans)
{
    const PlugInPlan plan = planPlugIn(GetParam().target, GetParam().client);
    constexpr std::array<const char *, 3> kModes = {"off", "running", "starting"};
    EXPECT_EQ(std::string(plan.stopFirst ? "stop+start; " : "start; ") + told(plan.news) + "; " +
                  kModes.at(static_cast<size_t>(plan.follow.mode)) + " " + std::to_string(plan.follow.pid),
              GetParam().plan);
}

// Nothing running; the target of a disabled client; no answer from systemctl.
const UnitLook kIdle = unit(kInactive), kNoClient = unit(kInactive, 0, 0, false),
               kNoAnswer = unit(kUnknown, 0, 0, false);
const PlugIn kPlugIns[] = {
    {{"AClientThatEndedBefore"}, kIdle, unit(kInactive, 41), "start; -; starting 41"},
    {{"TheTargetStillActiveIsStoppedFirst"}, unit(kActive), kIdle, "stop+start; -; starting 0"},
    {{"AnUnknownTargetIsStoppedFirst"}, kNoAnswer, kNoAnswer, "stop+start; -; starting 0"},
    {{"ARunningClientIsFollowed"}, kIdle, unit(kActive, 41), "start; " + kRunning + "; running 41"},
    {{"AStoppingClientCountsAsRunning"}, kIdle, unit(kStopping, 41), "start; " + kRunning + "; running 41"},
    {{"ADisabledClientIsNotFollowed"}, kNoClient, unit(kActive, 41), "start; " + kDisabled + "; off 0"},
};
INSTANTIATE_TEST_SUITE_P(Units, PlugInWith, ::testing::ValuesIn(kPlugIns),
                         behaviourOf<::testing::TestParamInfo<PlugIn>>);

// ---- A look at the client while it is followed -----------------------------

struct Look : Case {
    Follow follow;
    UnitLook client;
    bool windowOver;
    std::string verdict; // the step; what the status then says
};
class LookAt : public ::testing::TestWithParam<Look> {};

TEST_P(LookAt, Decides)
{
    Follow follow = GetParam().follow;
    const FollowVerdict verdict = followClient(follow, GetParam().client, GetParam().windowOver);
    constexpr std::array<const char *, 3> kSteps = {"watch", "start again", "done"};
    EXPECT_EQ(std::string(kSteps.at(static_cast<size_t>(verdict.step))) + "; " +
                  told(verdict.news, verdict.exitStatus),
              GetParam().verdict);
}

// Followed as it ran at the plug-in; awaited as none ran; awaited after its
// final report; seen running at the look before.
constexpr Follow kRan{FollowMode::kRunning, 41}, kAwaited{FollowMode::kStarting, 41},
    kAgain{FollowMode::kStarting, 41, true}, kSeen{FollowMode::kStarting, 41, false, true};
const Look kLooks[] = {
    {{"ARunningClientIsWatched"}, kRan, unit(kActive, 41), false, "watch; -"},
    {{"ARunningClientAtTheWindowsEndIsLeft"}, kRan, unit(kActive, 41), true, "done; -"},
    {{"AClientThatEndedAfterItsReportIsStartedAgain"}, kRan, unit(kInactive, 41), true, "start again; -"},
    {{"AClientRefusedByTheLockIsNotStartedAgain"}, kRan, unit(kFailed, 41, 1), false, "done; " + kLocked},
    {{"NotYetStartedIsAwaited"}, kAwaited, unit(kInactive, 41), false, "watch; -"},
    {{"NeverStartedSaysSoAtTheWindowsEnd"}, kAwaited, unit(kStarting), true, "done; " + kNotStarted},
    {{"SeenRunningOnceIsStartedAndWatchedOnce"}, kAwaited, unit(kActive, 42), false, "watch; " + kStarted},
    {{"SeenRunningTwiceIsDone"}, kSeen, unit(kActive, 42), false, "done; " + kStarted},
    {{"RanAndEndedCleanlyStarted"}, kAwaited, unit(kInactive, 42), false, "done; " + kStarted},
    {{"FailedAndAwaitingItsRestart"}, kAwaited, unit(kRestarting, 42, 2), false, "done; " + kFail + "2)"},
    {{"StartedAgainAfterTheFinalReport"}, kAgain, unit(kActive, 42), false, "watch; " + kStartedAgain},
    {{"NoAnswerEndsTheFollowing"}, kAwaited, kNoAnswer, false, "done; -"},
};
INSTANTIATE_TEST_SUITE_P(Follows, LookAt, ::testing::ValuesIn(kLooks),
                         behaviourOf<::testing::TestParamInfo<Look>>);

} // namespace

// ---- The cable in at the watch's start ---------------------------------------

// A plug-in, unless the target is up (an earlier watch started it for this
// cable) or usb0 has the client's address (a client ran on it).
TEST(CableInAtStart, CountsAsAPlugInOrNot)
{
    for (const UnitState state : {kInactive, kStopping, kUnknown}) {
        EXPECT_TRUE(cableInCountsAsPlugIn(unit(state), false)) << static_cast<int>(state);
        EXPECT_FALSE(cableInCountsAsPlugIn(unit(state), true)) << static_cast<int>(state);
    }
    for (const UnitState state : {kActive, kStarting})
        EXPECT_FALSE(cableInCountsAsPlugIn(unit(state), false)) << static_cast<int>(state);
}
