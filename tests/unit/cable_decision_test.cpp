// The cable watch's decisions: whether a cable in at its start counts as a
// plug-in, what each look at the client leads to while a deployment is
// followed and what the status then says. Nothing is run. How they add up
// to one deployment per plug-in is cable_watch_test's.
#include <array>
#include <csignal>
#include <gtest/gtest.h>
#include <string>

#include "cable/cable_follow.h"
#include "tests/unit/protocol.h"

namespace {

ClientLook client(UnitState state, long pid, int status = 0, int code = CLD_EXITED)
{
    return {state, pid, code, status};
}
// A client that never ran, with its unit file.
ClientLook off(UnitFile file)
{
    return {UnitState::kInactive, 0, CLD_EXITED, 0, false, file};
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
    constexpr std::array<const char *, 4> kSteps = {"follow", "look again", "start again", "done"};
    EXPECT_EQ(std::string(kSteps.at(static_cast<size_t>(verdict.step))) + "; " +
                  statusText(true, 0, told, text),
              GetParam().verdict);
}

using enum UnitState;
using enum UnitFile;
constexpr uint32_t kPlugIn = 5; // the plug-in's carrier-up count
// None ran at the plug-in, its start job done;
// one ran (pid 7); after "restarting" was told.
constexpr Follow kStarted{true, {kInactive}, kPlugIn},
    kRan{true, {kRunning, 7}, kPlugIn, false, false, {}, 7},
    kRestart{true, {kInactive}, kPlugIn, false, false, {}, 42, true};
// Client 7's record: its handshake last restarted before the plug-in, on it,
// or a client's that keeps no count; client 42's with one copy failed.
DeployRecord record(long pid, uint32_t count, int copyAi = kCopyNotRun)
{
    DeployRecord record{DeployState::kRunning, pid, 0, 0, copyAi == kCopyNotRun ? kCopyNotRun : 0, copyAi};
    record.usb0CarrierUpCount = count;
    return record;
}
const DeployRecord kBefore = record(7, kPlugIn - 1), kSaw = record(7, kPlugIn), kNoCount = record(7, 0),
                   kAiFailed = record(42, kPlugIn, 255);
const std::string kNothing = "cable in since 00:00:00: ", kIn = kNothing + "robot-client.service ",
                  kDone = "done; " + kIn, kFollow = "follow; " + kIn,
                  kEnded = kDone + "ended at 00:00:00 (exit status ",
                  kNotRun = "; copies: app not run, AI not run";
const Look kLooks[] = {
    {{"NothingStartedIsDisabled"}, kStarted, off(kDisabled), {}, kDone + "is disabled; nothing started"},
    {{"AMaskedClientIsToldApart"}, kStarted, off(kMasked), {}, kDone + "is masked; nothing started"},
    {{"AnAutoRestartIsNoFailure"},
     kStarted,
     client(kRestarting, 42, SIGSEGV, CLD_DUMPED),
     kAiFailed,
     kFollow + "ended at 00:00:00 (killed by SIGSEGV); restarting; copies: app ok, AI exit 255"},
    {{"AfterARestartSystemds"}, kRestart, client(kRunning, 43), {}, kFollow + "started again by systemd"},
    {{"ARecordWithoutACountSawIt"}, kRan, client(kInactive, 7), kNoCount, kEnded + "0)" + kNotRun},
    {{"Exit4IsAFailedCopy"}, kRan, client(kInactive, 7, 4), kSaw, kEnded + "4: a copy failed)" + kNotRun},
    {{"RefusedByTheLockIsNotStartedAgain"},
     kRan,
     client(kFailed, 7, 1),
     kBefore,
     kDone + "failed at 00:00:00 (exit status 1: another robot-client is running)" + kNotRun},
};
INSTANTIATE_TEST_SUITE_P(Follows, LookAt, ::testing::ValuesIn(kLooks),
                         behaviourOf<::testing::TestParamInfo<Look>>);

} // namespace
