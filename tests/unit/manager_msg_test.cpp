// What the client decides for each text the manager sends; nothing is run.
#include <gtest/gtest.h>

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
    EXPECT_EQ(handleManagerMsg(GetParam().text.c_str()), GetParam().reply);
    const std::string recv = GetParam().recv.empty() ? GetParam().text : GetParam().recv;
    EXPECT_EQ(testsupport::plain(out.text()), "NOTICE: recv msg:" + recv + "\n" + GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ManagerMsg,
    ::testing::Values(
        // The manager's texts of a whole deployment are the system test's.
        Text{{"SysMountFinishSetsMountFinish"}, json("sys_mount_finish"), {kSet, SYS_STATE_MOUNT_FINISH}},
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
