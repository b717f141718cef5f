// What the client decides for each text the manager sends; nothing is run.
#include <gtest/gtest.h>

#include "client/manager_link.h"
#include "tests/support/capture.h"
#include "tests/unit/protocol.h"

using namespace testsupport;

namespace {
// The reply to text, and the log after its "recv msg" line.
std::pair<ManagerReply, std::string> handle(const std::string &text)
{
    OutputCapture out;
    const ManagerReply reply = handleManagerMsg(text.c_str());
    const std::string log = plain(out.text()), recv = "NOTICE: recv msg:" + text + "\n";
    EXPECT_TRUE(log.starts_with(recv)) << log;
    return {reply, log.substr(std::min(recv.size(), log.size()))};
}
const auto setState = [](SysState s) { return ManagerReply{ManagerAction::kSetState, s}; };
} // namespace

TEST(ManagerMsg, StateCommandsSetTheirState)
{
    EXPECT_EQ(handle(json("connected")).first, setState(SYS_STATE_CONNECTED));
    EXPECT_EQ(handle(json("sys_mountimg")).first, setState(SYS_STATE_MOUNTING));
    EXPECT_EQ(handle(json("sys_mount_finish")).first, setState(SYS_STATE_MOUNT_FINISH));
    EXPECT_EQ(handle(json("sys_runing")), std::pair(setState(SYS_STATE_RUNNING), std::string()));
}

TEST(ManagerMsg, RunFinishAsksToDropTheCacheAndFinish)
{
    EXPECT_EQ(handle(json("sys_run_finish")).first,
              (ManagerReply{ManagerAction::kRunFinish, SYS_STATE_RUN_FINISH}));
}

TEST(ManagerMsg, ExitAsksToEnd)
{
    EXPECT_EQ(handle(json("sys_exit")).first.action, ManagerAction::kExit);
}

TEST(ManagerMsg, CmdValueIsCaseSensitive)
{
    EXPECT_EQ(handle(json("CONNECTED")),
              std::pair(ManagerReply{}, std::string("NOTICE: cmd->valuestring:CONNECTED discard\n")));
}

TEST(ManagerMsg, MemberNameIgnoresCase)
{
    EXPECT_EQ(handle(R"({"CMD":"connected"})").first, setState(SYS_STATE_CONNECTED));
}

TEST(ManagerMsg, OnlyTheFirstValueOfAReadCounts)
{
    EXPECT_EQ(handle(json("connected") + json("sys_mountimg")).first, setState(SYS_STATE_CONNECTED));
}

TEST(ManagerMsg, ResponeIsLoggedBeforeTheCommandActs)
{
    EXPECT_EQ(handle(R"({"cmd":"sys_runing","respone":"ok"})"),
              std::pair(setState(SYS_STATE_RUNNING), std::string("NOTICE: cmd 'sys_runing' respone 'ok'\n")));
}

TEST(ManagerMsg, NonStringCmdIsDiscarded)
{
    EXPECT_EQ(handle(R"({"cmd":null})").second, "NOTICE: cmd->valuestring:(null) discard\n");
}

TEST(ManagerMsg, UnusableTextIsAnErrorAndDropped)
{
    EXPECT_EQ(handle(R"({"cmd":"conn)"), std::pair(ManagerReply{}, std::string("ERR: cJSON_Parse failed\n")));
    EXPECT_EQ(handle(R"({"command":"connected"})"), std::pair(ManagerReply{}, std::string("ERR: cmd null")));
}
