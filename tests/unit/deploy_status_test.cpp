// What the client tells of the deployment: the status of a step, and the
// summary at its end; nothing is run. The steps of a whole deployment in
// order, each copy's included, and the record's text are the system
// test's (deploy).
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
                         ::testing::Values(Step{{"ARefusedConnect"},
                                                {SYS_STATE_RUNNING, kConnect, ECONNREFUSED},
                                                kWaiting + "connection refused"},
                                           Step{{"ASilentManager"},
                                                {SYS_STATE_IDLE, kConnect, ETIMEDOUT},
                                                kWaiting + "no answer within 6 s"},
                                           Step{{"RunningSinceItsStart"},
                                                {SYS_STATE_RUNNING, Waiting::kNo, 0, Copying::kNone, 3723},
                                                "running since 01:02:03"}),
                         behaviourOf<::testing::TestParamInfo<Step>>);

// The summary's level, the exit status and the text: a failed copy warns,
// fails the unit (status 4) and tells the restarts; a stop before any copy
// says so. A finished run with both copies ok is the system test's.
TEST(Summary, TellsTheEndTheCopiesAndTheRestarts)
{
    const auto line = [](const DeployRecord &record) {
        std::array<char, 256> out{};
        return (deploySummaryLevel(record) == kLevelWarn ? "WARN " : "NOTICE ") +
               std::to_string(deployExitStatus(record)) + " " + deploySummaryText(record, out);
    };
    EXPECT_EQ(line({DeployState::kExited, 1, 10, 13, 0, 255, 1, 2}),
              "WARN 4 exit ordered by the manager after 3 s; copy of /robot/app ok, copy of /robot/AI failed "
              "(exit status 255); handshake restarts: 1 by carrier-up, 2 by dropped connection");
    EXPECT_EQ(
        line({DeployState::kStopped, 1, 10, 10}),
        "NOTICE 0 stopped (SIGINT) after 0 s; no copy ran; handshake restarts: 0 by carrier-up, 0 by dropped "
        "connection");
}
