// What the client decides for each text the manager sends, in its state with
// the round's requests and answers so far; nothing is run.
#include <gtest/gtest.h>
#include <regex>

#include "client/manager_link.h"
#include "tests/support/capture.h"
#include "tests/unit/protocol.h"

namespace {
struct Text : Case {
    std::string text;
    ManagerReply reply;
    std::string log;  // what follows the "recv msg" line
    std::string recv; // the "recv msg" line's text, when it is not text itself
};
class ManagerMsg : public ::testing::TestWithParam<Text> {};
constexpr ManagerAction kSet = ManagerAction::kSetState;
} // namespace

TEST_P(ManagerMsg, Decides)
{
    const testsupport::OutputCapture out;
    EXPECT_EQ(handleManagerMsg(GetParam().text.c_str(), SYS_STATE_IDLE, {}), GetParam().reply);
    const std::string recv = GetParam().recv.empty() ? GetParam().text : GetParam().recv;
    EXPECT_EQ(testsupport::plain(out.text()), "NOTICE: recv msg:" + recv + "\n" + GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ManagerMsg,
    ::testing::Values(
        // The manager's texts of a whole deployment are the system test's.
        Text{{"CmdIsCaseSensitive"}, json("CONNECTED"), {}, "NOTICE: cmd->valuestring:CONNECTED discard\n"},
        Text{{"MemberNameIgnoresCase"}, R"({"CMD":"connected"})", {kSet, SYS_STATE_CONNECTED}},
        Text{{"FirstValueOnly"}, json("connected") + json("sys_mountimg"), {kSet, SYS_STATE_CONNECTED}},
        Text{{"ResponeIsLoggedBeforeActing"},
             R"({"cmd":"sys_runing","respone":"ok"})",
             {kSet, SYS_STATE_RUNNING},
             "NOTICE: cmd 'sys_runing' respone 'ok'\n"},
        Text{{"NonStringCmdIsDiscarded"}, R"({"cmd":null})", {}, "NOTICE: cmd->valuestring:(null) discard\n"},
        Text{{"UnparsableTextIsAnError"}, R"({"cmd":"conn)", {}, "ERR: cJSON_Parse failed\n"},
        Text{{"TextWithoutCmdIsAnError"}, R"({"command":"connected"})", {}, "ERR: cmd null"},
        // Control bytes as \xNN, a backslash doubled, UTF-8 as it is: each
        // line that shows the manager's text stays one line.
        Text{{"ManagerTextIsEscapedOnEveryLine"},
             R"({"cmd":"a\u001bb","respone":"\\ é"})"
             "\n\x1b[2J\x7f",
             {},
             R"(NOTICE: cmd 'a\x1bb' respone '\\ é')"
             "\n"
             R"(NOTICE: cmd->valuestring:a\x1bb discard)"
             "\n",
             R"({"cmd":"a\\u001bb","respone":"\\\\ é"}\x0a\x1b[2J\x7f)"}),
    behaviourOf<::testing::TestParamInfo<Text>>);

// A late answer to a repeat (a request sent more often than answered) that
// would take the handshake back is ignored, and logged; past the count, and
// any other command, acts in any state; a skip forward stands. The round:
// {sent, answered} of connected, sys_mount, sys_run.
TEST(ManagerMsg, ALateAnswerNeverTakesTheHandshakeBack)
{
    const testsupport::OutputCapture out;
    const auto decide = [](const char *cmd, SysState current, const HandshakeRound &round) {
        const ManagerReply reply = handleManagerMsg(json(cmd).c_str(), current, round);
        return (reply.action == ManagerAction::kLate ? "late " : "set ") + std::to_string(reply.state);
    };
    EXPECT_EQ(decide("sys_mountimg", SYS_STATE_MOUNT_FINISH, {{0, 2}, {0, 1}}), "late 4");
    EXPECT_EQ(decide("sys_runing", SYS_STATE_RUN_FINISH, {{1, 1, 3}, {1, 1, 1}}), "late 7");
    EXPECT_EQ(decide("connected", SYS_STATE_RUNNING, {{2, 1, 1}, {2, 1, 1}}), "set 1");
    EXPECT_EQ(decide("sys_mount_finish", SYS_STATE_RUNNING, {{1, 1, 2}, {1, 1, 1}}), "set 5");
    EXPECT_EQ(decide("sys_runing", SYS_STATE_IDLE, {{1}}), "set 7");
    EXPECT_EQ(std::regex_replace(testsupport::plain(out.text()), std::regex("NOTICE: recv msg:.*\n"), ""),
              "NOTICE: late answer sys_mountimg ignored in state 5\nNOTICE: late answer sys_runing ignored "
              "in state 8\n");
}
