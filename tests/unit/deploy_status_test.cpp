// What the client tells of the deployment: the status of each step, the
// summary at its end and the record's text; nothing is run.
#include <array>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

#include "client/deploy_status.h"
#include "log/log.h"
#include "tests/unit/protocol.h"

namespace {
struct Step : Case {
    StepFacts facts;
    std::string status;
};
class StepStatus : public ::testing::TestWithParam<Step> {};
const std::string kWaiting = "waiting for the manager at 10.10.10.2:7901: ";
constexpr Waiting kConnect = Waiting::kConnect;
} // namespace

TEST_P(StepStatus, Text)
{
    setenv("TZ", "UTC", 1);
    tzset();
    std::array<char, 256> out{};
    EXPECT_EQ(deployStepText(GetParam().facts, out), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(Steps, StepStatus,
                         ::testing::Values(Step{{"IdleAnnounces"}, {}, "announcing to the manager"},
                                           Step{{"ARefusedConnect"},
                                                {SYS_STATE_RUNNING, kConnect, ECONNREFUSED},
                                                kWaiting + "connection refused"},
                                           Step{{"ASilentManager"},
                                                {SYS_STATE_IDLE, kConnect, ETIMEDOUT},
                                                kWaiting + "no answer within 6 s"},
                                           Step{{"AnUnaddressedUsb0"},
                                                {SYS_STATE_IDLE, Waiting::kNoAddress},
                                                kWaiting + "usb0 has no address 10.10.10.1 yet"},
                                           Step{{"MountAsked"}, {SYS_STATE_CONNECTED}, "mount asked"},
                                           Step{{"CopyingTheAIWinsOverTheState"},
                                                {SYS_STATE_MOUNTING, Waiting::kNo, 0, Copying::kAi},
                                                "copying /robot/AI"},
                                           Step{{"RunAsked"}, {SYS_STATE_MOUNT_FINISH}, "run asked"},
                                           Step{{"RunningSinceItsStart"},
                                                {SYS_STATE_RUNNING, Waiting::kNo, 0, Copying::kNone, 3723},
                                                "running since 01:02:03"},
                                           Step{{"FinalReport"}, {SYS_STATE_RUN_FINISH}, "final report"}),
                         behaviourOf<::testing::TestParamInfo<Step>>);

namespace {
struct End : Case {
    DeployRecord record;
    std::string line; // the level, then the summary
};
class Summary : public ::testing::TestWithParam<End> {};
const std::string kNoRestart = "; handshake restarts: 0 by carrier-up, 0 by dropped connection";
} // namespace

TEST_P(Summary, Line)
{
    std::array<char, 256> out{};
    const std::string level = deploySummaryLevel(GetParam().record) == kLevelWarn ? "WARN " : "NOTICE ";
    EXPECT_EQ(level + deploySummaryText(GetParam().record, out), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, Summary,
    ::testing::Values(
        End{{"FinishedWithBothCopies"},
            {DeployState::kFinished, 1, 10.5, 52.9, 0, 0},
            "NOTICE run finished after 42 s; copies ok" + kNoRestart},
        End{{"AFailedCopyWarns"},
            {DeployState::kExited, 1, 10, 13, 0, 255, 1, 2},
            "WARN exit ordered by the manager after 3 s; copy of /robot/app ok, copy of /robot/AI failed "
            "(exit status 255); handshake restarts: 1 by carrier-up, 2 by dropped connection"},
        End{{"StoppedBeforeAnyCopy"},
            {DeployState::kStopped, 1, 10, 10},
            "NOTICE stopped (SIGINT) after 0 s; no copy ran" + kNoRestart}),
    behaviourOf<::testing::TestParamInfo<End>>);

namespace {
struct Text : Case {
    DeployRecord record;
    std::string text; // the file's text, which reads back as the record
};
class RecordText : public ::testing::TestWithParam<Text> {};
std::string formatted(const DeployRecord &record)
{
    std::array<char, 1024> out{};
    return formatDeployRecord(record, out) >= 0 ? out.data() : "(too long)";
}
} // namespace

TEST_P(RecordText, RoundTrip)
{
    EXPECT_EQ(formatted(GetParam().record), GetParam().text);
    EXPECT_EQ(formatted(parseDeployRecord(GetParam().text)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Records, RecordText,
    ::testing::Values(Text{{"Running"},
                           {DeployState::kRunning, 7, 12.5},
                           "format=1\nstate=running\npid=7\nhandshake_started=12.500000\nended=0.000000\n"
                           "copy_app=none\ncopy_ai=none\ncarrier_ups=0\ndropped_connections=0\n"},
                      Text{{"FinishedWithAFailedCopy"},
                           {DeployState::kFinished, 7, 12.5, 54.25, 0, 255, 1, 2},
                           "format=1\nstate=finished\npid=7\nhandshake_started=12.500000\nended=54.250000\n"
                           "copy_app=ok\ncopy_ai=exit 255\ncarrier_ups=1\ndropped_connections=2\n"}),
    behaviourOf<::testing::TestParamInfo<Text>>);
