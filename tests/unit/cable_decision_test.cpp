// The cable watch's decisions, from what systemctl shows: what a plug-in
// does, what a look at the client leads to, what the status says, whether
// a cable in at the watch's start counts as a plug-in. Nothing is run.
#include <array>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

#include "client/cable_watch.h"
#include "tests/unit/protocol.h"

namespace {

std::string name(UnitState state)
{
    constexpr std::array<const char *, 7> kNames = {"unknown",  "inactive", "starting",  "active",
                                                    "stopping", "failed",   "restarting"};
    return kNames.at(static_cast<size_t>(state));
}
std::string name(CableNews news)
{
    std::array<char, 160> text{};
    return news == CableNews::kNone ? "-" : cableNewsText(news, 0, text);
}
std::string name(FollowMode mode)
{
    constexpr std::array<const char *, 3> kNames = {"off", "running", "starting"};
    return kNames.at(static_cast<size_t>(mode));
}
std::string name(FollowStep step)
{
    constexpr std::array<const char *, 3> kNames = {"watch", "start again", "done"};
    return kNames.at(static_cast<size_t>(step));
}

// Looks as the tables write them.
UnitLook unit(UnitState state, long pid = 0, int exitStatus = 0)
{
    UnitLook look;
    look.state = state;
    look.mainPid = pid;
    look.exitStatus = exitStatus;
    return look;
}
UnitLook target(UnitState state, bool wantsClient = true)
{
    UnitLook look = unit(state);
    look.wantsClient = wantsClient;
    return look;
}
constexpr UnitState kUnknown = UnitState::kUnknown, kInactive = UnitState::kInactive,
                    kStarting = UnitState::kStarting, kActive = UnitState::kActive,
                    kStopping = UnitState::kStopping, kFailed = UnitState::kFailed,
                    kRestarting = UnitState::kRestarting;

// ---- systemctl show --------------------------------------------------------

struct Shown : Case {
    const char *text;
    std::string look; // state, pid, exit status, wants the client, active since
};
class ShowOf : public ::testing::TestWithParam<Shown> {};

TEST_P(ShowOf, Reads)
{
    const UnitLook look = parseUnitLook(GetParam().text);
    EXPECT_EQ(name(look.state) + " pid " + std::to_string(look.mainPid) + " exit " +
                  std::to_string(look.exitStatus) + (look.wantsClient ? " wants" : "") + " since " +
                  std::to_string(look.activeSinceUs),
              GetParam().look);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ShowOf,
    ::testing::Values(
        Shown{{"ARunningService"},
              "ActiveState=active\nSubState=running\nExecMainPID=417\nExecMainCode=0\nExecMainStatus=0\n",
              "active pid 417 exit 0 since 0"},
        Shown{{"AServiceThatExitedZero"},
              "ActiveState=inactive\nSubState=dead\nExecMainPID=417\nExecMainCode=1\nExecMainStatus=0\n",
              "inactive pid 417 exit 0 since 0"},
        Shown{{"AServiceRefusedByTheLock"},
              "ActiveState=failed\nSubState=failed\nExecMainPID=418\nExecMainCode=1\nExecMainStatus=1\n",
              "failed pid 418 exit 1 since 0"},
        Shown{{"AServiceKilledBySegvAwaitsItsRestart"},
              "ActiveState=activating\nSubState=auto-restart\nExecMainPID=419\nExecMainCode="
              "2\nExecMainStatus=11\n",
              "restarting pid 419 exit 139 since 0"},
        Shown{{"AServiceStarting"},
              "ActiveState=activating\nSubState=start\n",
              "starting pid 0 exit 0 since 0"},
        Shown{{"AServiceStopping"},
              "ActiveState=deactivating\nSubState=stop-sigterm\n",
              "stopping pid 0 exit 0 since 0"},
        Shown{{"TheTargetWantingTheClient"},
              "ActiveState=active\nWants=other.service robot-client.service\n"
              "ActiveEnterTimestampMonotonic=12345678\n",
              "active pid 0 exit 0 wants since 12345678"},
        Shown{{"TheTargetOfADisabledClient"},
              "ActiveState=inactive\nWants=\n",
              "inactive pid 0 exit 0 since 0"},
        Shown{{"ANameThatOnlyStartsLikeTheClientsIsAnother"},
              "ActiveState=inactive\nWants=robot-client.service2\n",
              "inactive pid 0 exit 0 since 0"},
        Shown{{"NoAnswerIsUnknown"}, "", "unknown pid 0 exit 0 since 0"},
        Shown{
            {"AStateOfANewerSystemdIsUnknown"}, "ActiveState=maintenance\n", "unknown pid 0 exit 0 since 0"},
        Shown{{"GarbledNumbersAreZero"},
              "ActiveState=active\nExecMainPID=4x\nExecMainStatus=\n",
              "active pid 0 exit 0 since 0"}),
    behaviourOf<::testing::TestParamInfo<Shown>>);

// ---- A plug-in -------------------------------------------------------------

struct PlugIn : Case {
    UnitLook target;
    UnitLook client;
    std::string plan; // stop first or not; what is told at once; how the client is followed
};
class PlugInWith : public ::testing::TestWithParam<PlugIn> {};

TEST_P(PlugInWith, Plans)
{
    const PlugInPlan plan = planPlugIn(GetParam().target, GetParam().client);
    EXPECT_EQ(std::string(plan.stopFirst ? "stop, start" : "start") + "; " + name(plan.news) + "; " +
                  name(plan.follow.mode) + " " + std::to_string(plan.follow.pid),
              GetParam().plan);
}

INSTANTIATE_TEST_SUITE_P(
    Units, PlugInWith,
    ::testing::Values(
        PlugIn{{"NoClientYet"}, target(kInactive), unit(kInactive), "start; -; starting 0"},
        PlugIn{{"AClientThatEndedBefore"}, target(kInactive), unit(kInactive, 41), "start; -; starting 41"},
        PlugIn{{"AFailedClientIsStartedAfresh"},
               target(kInactive),
               unit(kFailed, 41, 1),
               "start; -; starting 41"},
        PlugIn{{"TheTargetStillActiveIsStoppedFirst"},
               target(kActive),
               unit(kInactive, 41),
               "stop, start; -; starting 41"},
        PlugIn{{"TheTargetStoppingIsWaitedFor"},
               target(kStopping),
               unit(kInactive, 41),
               "stop, start; -; starting 41"},
        PlugIn{{"AnUnknownTargetIsStoppedFirst"},
               target(kUnknown, false),
               unit(kInactive, 41),
               "stop, start; -; starting 41"},
        PlugIn{{"ARunningClientIsFollowed"},
               target(kInactive),
               unit(kActive, 41),
               "start; robot-client.service was running; it starts the handshake again; running 41"},
        PlugIn{{"AStoppingClientCountsAsRunning"},
               target(kActive),
               unit(kStopping, 41),
               "stop, start; robot-client.service was running; it starts the handshake again; running 41"},
        PlugIn{{"AClientAwaitingItsRestartIsStartedAfresh"},
               target(kInactive),
               unit(kRestarting, 41, 139),
               "start; -; starting 41"},
        PlugIn{{"ADisabledClientIsNotFollowed"},
               target(kInactive, false),
               unit(kInactive, 41),
               "start; robot-client.service is disabled; nothing started; off 0"},
        PlugIn{{"ADisabledClientThatRunsIsNotFollowed"},
               target(kActive, false),
               unit(kActive, 41),
               "stop, start; robot-client.service is disabled; nothing started; off 0"},
        PlugIn{{"AnUnknownClientIsAwaited"}, target(kInactive), unit(kUnknown), "start; -; starting 0"}),
    behaviourOf<::testing::TestParamInfo<PlugIn>>);

// ---- A look at the client while it is followed -----------------------------

struct Look : Case {
    Follow follow;
    UnitLook client;
    bool windowOver;
    std::string verdict; // the step; what is told; the following after
};
class LookAt : public ::testing::TestWithParam<Look> {};

TEST_P(LookAt, Decides)
{
    Follow follow = GetParam().follow;
    const FollowVerdict verdict = followClient(follow, GetParam().client, GetParam().windowOver);
    std::array<char, 160> text{};
    EXPECT_EQ(
        name(verdict.step) + "; " +
            (verdict.news == CableNews::kNone ? "-" : cableNewsText(verdict.news, verdict.exitStatus, text)) +
            "; " + name(follow.mode) + (follow.seenUp ? " seen" : ""),
        GetParam().verdict);
}

constexpr Follow kWasRunning{FollowMode::kRunning, 41};
constexpr Follow kAwaited{FollowMode::kStarting, 41};
constexpr Follow kAwaitedAgain{FollowMode::kStarting, 41, true};
constexpr Follow kSeenOnce{FollowMode::kStarting, 41, false, true};

INSTANTIATE_TEST_SUITE_P(
    Follows, LookAt,
    ::testing::Values(
        // A client that ran at the plug-in.
        Look{{"ARunningClientIsWatched"}, kWasRunning, unit(kActive, 41), false, "watch; -; running"},
        Look{{"ARunningClientAtTheWindowsEndIsLeft"},
             kWasRunning,
             unit(kActive, 41),
             true,
             "done; -; running"},
        Look{{"AClientThatEndedAfterItsReportIsStartedAgain"},
             kWasRunning,
             unit(kInactive, 41),
             false,
             "start again; -; running"},
        Look{{"AClientThatEndedAtTheWindowsEndIsStartedAgain"},
             kWasRunning,
             unit(kInactive, 41),
             true,
             "start again; -; running"},
        Look{{"ACrashedClientIsStartedAgain"},
             kWasRunning,
             unit(kRestarting, 41, 139),
             false,
             "start again; -; running"},
        Look{{"AClientRefusedByTheLockIsNotStartedAgain"},
             kWasRunning,
             unit(kFailed, 41, 1),
             false,
             "done; robot-client.service failed (exit status 1: another robot-client is running); running"},
        Look{{"ANewClientAlreadyRunningStarted"},
             kWasRunning,
             unit(kActive, 42),
             false,
             "watch; robot-client.service started; starting seen"},
        // A client the plug-in starts.
        Look{{"NotYetStartedIsAwaited"}, kAwaited, unit(kInactive, 41), false, "watch; -; starting"},
        Look{{"NeverStartedSaysSoAtTheWindowsEnd"},
             kAwaited,
             unit(kInactive, 41),
             true,
             "done; robot-client.service did not start; starting"},
        Look{{"NoPidYetIsNoStart"},
             Follow{FollowMode::kStarting},
             unit(kStarting),
             false,
             "watch; -; starting"},
        Look{{"SeenRunningOnceIsStartedAndWatchedOnce"},
             kAwaited,
             unit(kActive, 42),
             false,
             "watch; robot-client.service started; starting seen"},
        Look{{"SeenRunningTwiceIsDone"},
             kSeenOnce,
             unit(kActive, 42),
             false,
             "done; robot-client.service started; starting seen"},
        Look{{"SeenRunningAtTheWindowsEndIsDone"},
             kAwaited,
             unit(kStarting, 42),
             true,
             "done; robot-client.service started; starting seen"},
        Look{{"RefusedByTheLock"},
             kAwaited,
             unit(kFailed, 42, 1),
             false,
             "done; robot-client.service failed (exit status 1: another robot-client is running); starting"},
        Look{{"FailedAndAwaitingItsRestart"},
             kAwaited,
             unit(kRestarting, 42, 2),
             false,
             "done; robot-client.service failed (exit status 2); starting"},
        Look{{"FailedAfterItWasSeenRunning"},
             kSeenOnce,
             unit(kFailed, 42, 1),
             false,
             "done; robot-client.service failed (exit status 1: another robot-client is running); starting "
             "seen"},
        Look{{"RanAndEndedCleanlyStarted"},
             kAwaited,
             unit(kInactive, 42),
             false,
             "done; robot-client.service started; starting"},
        Look{{"StartedAgainAfterTheFinalReport"},
             kAwaitedAgain,
             unit(kActive, 42),
             false,
             "watch; robot-client.service started again after its final report; starting seen"},
        Look{{"NoAnswerEndsTheFollowing"}, kAwaited, unit(kUnknown), false, "done; -; starting"}),
    behaviourOf<::testing::TestParamInfo<Look>>);

// ---- The status ------------------------------------------------------------

struct Status : Case {
    CableNews news;
    int exitStatus;
    const char *text;
};
class StatusFor : public ::testing::TestWithParam<Status> {};

TEST_P(StatusFor, Reads)
{
    struct tm local {};
    local.tm_year = 124, local.tm_mon = 4, local.tm_mday = 14, local.tm_hour = 12, local.tm_min = 34,
    local.tm_sec = 56, local.tm_isdst = -1;
    std::array<char, 256> text{};
    EXPECT_STREQ(cableStatusText(GetParam().news, GetParam().exitStatus, mktime(&local), text),
                 GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    News, StatusFor,
    ::testing::Values(
        Status{{"Started"}, CableNews::kStarted, 0, "cable in since 12:34:56: robot-client.service started"},
        Status{{"Disabled"},
               CableNews::kDisabled,
               0,
               "cable in since 12:34:56: robot-client.service is disabled; nothing started"},
        Status{{"WasRunning"},
               CableNews::kWasRunning,
               0,
               "cable in since 12:34:56: robot-client.service was running; it starts the handshake again"},
        Status{{"Failed"},
               CableNews::kFailed,
               2,
               "cable in since 12:34:56: robot-client.service failed (exit status 2)"},
        Status{{"FailedForTheLock"},
               CableNews::kFailed,
               1,
               "cable in since 12:34:56: robot-client.service failed (exit status 1: another robot-client is "
               "running)"},
        Status{{"StartRefused"},
               CableNews::kStartFailed,
               4,
               "cable in since 12:34:56: systemctl start failed (exit status 4)"},
        Status{{"StartedAgain"},
               CableNews::kStartedAgain,
               0,
               "cable in since 12:34:56: robot-client.service started again after its final report"},
        Status{{"NotStarted"},
               CableNews::kNotStarted,
               0,
               "cable in since 12:34:56: robot-client.service did not start"},
        Status{{"InBeforeTheWatch"},
               CableNews::kInBefore,
               0,
               "cable in since 12:34:56 (before this watch started): no deployment started"},
        Status{{"InBeforeTheWatchSinceAnUnknownTime"},
               CableNews::kInBeforeWatch,
               0,
               "cable in since before 12:34:56 (when this watch started): no deployment started"}),
    behaviourOf<::testing::TestParamInfo<Status>>);

// ---- The cable in at the watch's start ---------------------------------------

struct AtStart : Case {
    UnitLook target;
    bool clientAddress;
    bool plugIn;
};
class CableInAtStart : public ::testing::TestWithParam<AtStart> {};

TEST_P(CableInAtStart, CountsAsAPlugInOrNot)
{
    EXPECT_EQ(cableInCountsAsPlugIn(GetParam().target, GetParam().clientAddress), GetParam().plugIn);
}

INSTANTIATE_TEST_SUITE_P(
    Starts, CableInAtStart,
    ::testing::Values(AtStart{{"PowerOnOrANewUsb0"}, target(kInactive), false, true},
                      AtStart{{"TheTargetActiveFromAnEarlierWatch"}, target(kActive), false, false},
                      AtStart{{"TheTargetStarting"}, target(kStarting), false, false},
                      AtStart{{"AClientRanOnThisUsb0"}, target(kInactive), true, false},
                      AtStart{{"TheTargetStoppingIsNoLongerTheCables"}, target(kStopping), false, true},
                      AtStart{{"AnUnknownTargetCountsAsAtPowerOn"}, target(kUnknown), false, true}),
    behaviourOf<::testing::TestParamInfo<AtStart>>);

} // namespace
