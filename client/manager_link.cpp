#include "client/manager_link.h"

#include <array>
#include <cerrno>
#include <cjson/cJSON.h>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

#include "client/client_log.h"
#include "client/deploy_status.h"
#include "client/loop.h"
#include "client/shell.h"
#include "client/state.h"
#include "client/usb0.h"
#include "net/net.h"

int g_clientFd = -1;
ev_io g_clientWatcher;

namespace {

// The manager's commands that only move the deployment state.
struct StateCommand {
    std::string_view text;
    SysState state;
};
constexpr std::array<StateCommand, 4> kStateCommands = {{
    {"connected", SYS_STATE_CONNECTED},
    {"sys_mountimg", SYS_STATE_MOUNTING},
    {"sys_mount_finish", SYS_STATE_MOUNT_FINISH},
    {"sys_runing", SYS_STATE_RUNNING},
}};
constexpr std::string_view kCmdRunFinish = "sys_run_finish";
constexpr std::string_view kCmdExit = "sys_exit";

// Connects to the manager; with restart set (checkConnectStatus) the
// interface is brought up first and a new connection restarts the sequence.
int connectManager(bool restart)
{
    CLIENT_LOG(kLevelNotice, "connect to %s:%d\n", kManagerIp, kManagerPort);
    if (restart)
        usb0Networkinit();
    // Over usb0 alone: a more specific route elsewhere (a Wi-Fi on
    // 10.10.10.0/24) must not take the handshake to another host.
    g_clientFd = tcpConnect(kManagerIp, kManagerPort, kUsbIfName);
    if (g_clientFd < 0) {
        deployWaiting(Waiting::kConnect, errno);
        g_clientFd = -1;
        CLIENT_LOG(kLevelErr, "robotManager connect failed\n");
        return -1;
    }
    deployConnected(restart);
    CLIENT_LOG(kLevelNotice, "connected %s:%d\n", kManagerIp, kManagerPort);
    ev_io_init(&g_clientWatcher, onClientSock_cb, g_clientFd, EV_READ);
    ev_io_start(g_loop, &g_clientWatcher);
    if (restart)
        restartHandshake();
    return g_clientFd;
}

// The only place the connection is given up.
void dropConnection(struct ev_loop *loop, ev_io *watcher)
{
    CLIENT_LOG(kLevelWarn, "client socket close!\n");
    deployConnectionDropped();
    g_clientFd = -1;
    close(watcher->fd);
    ev_io_stop(loop, watcher);
}

// Printable text of a member: its string, or a stand-in naming its type.
const char *memberText(const cJSON *item)
{
    if (cJSON_IsString(item) && item->valuestring != nullptr)
        return item->valuestring;
    if (cJSON_IsNull(item))
        return "(null)";
    if (cJSON_IsBool(item))
        return cJSON_IsTrue(item) ? "(true)" : "(false)";
    if (cJSON_IsNumber(item))
        return "(number)";
    if (cJSON_IsArray(item))
        return "(array)";
    if (cJSON_IsObject(item))
        return "(object)";
    return "(invalid)";
}

// What one command asks for in state current; a value that is not a string
// is no command.
ManagerReply decideCommand(const cJSON *cmd, SysState current, const HandshakeRound &round)
{
    const char *text = memberText(cmd);
    if (!cJSON_IsString(cmd)) {
        LogText escaped{};
        CLIENT_LOG(kLevelNotice, "cmd->valuestring:%s discard\n", logEscape(text, escaped));
        return {};
    }
    const std::string_view value(text);
    for (const auto &command : kStateCommands) {
        if (value != command.text)
            continue;
        if (!isLateAnswer(round, current, command.state))
            return {ManagerAction::kSetState, command.state};
        CLIENT_LOG(kLevelNotice, "late answer %s ignored in state %d\n", text, current);
        return {ManagerAction::kLate, command.state};
    }
    if (value == kCmdRunFinish)
        return {ManagerAction::kRunFinish, SYS_STATE_RUN_FINISH};
    if (value == kCmdExit)
        return {ManagerAction::kExit, SYS_STATE_IDLE};
    LogText escaped{};
    CLIENT_LOG(kLevelNotice, "cmd->valuestring:%s discard\n", logEscape(text, escaped));
    return {};
}

} // namespace

int sendClientMsg(const char *msg, int len)
{
    if (g_clientFd == -1 && connectManager(false) < 0)
        return -1;
    CLIENT_LOG(kLevelDebug, "tcp send: %s\n", msg);
    const size_t count = len >= 1 ? static_cast<size_t>(len) : strlen(msg);
    return static_cast<int>(send(g_clientFd, msg, count, MSG_NOSIGNAL));
}

int checkConnectStatus()
{
    if (g_clientFd == -1 && connectManager(true) < 0)
        return -1;
    return g_clientFd;
}

ManagerReply handleManagerMsg(const char *text, SysState current, const HandshakeRound &round)
{
    LogText escaped{};
    CLIENT_LOG(kLevelNotice, "recv msg:%s\n", logEscape(text, escaped));
    cJSON *root = cJSON_Parse(text);
    if (root == nullptr) {
        CLIENT_LOG(kLevelErr, "cJSON_Parse failed\n");
        return {};
    }
    ManagerReply reply;
    const cJSON *cmd = cJSON_GetObjectItem(root, "cmd");
    if (cmd == nullptr) {
        CLIENT_LOG(kLevelErr, "cmd null");
    } else {
        const cJSON *respone = cJSON_GetObjectItem(root, "respone");
        if (respone != nullptr) {
            LogText cmdText{}, responeText{};
            CLIENT_LOG(kLevelNotice, "cmd '%s' respone '%s'\n", logEscape(memberText(cmd), cmdText),
                       logEscape(memberText(respone), responeText));
        }
        reply = decideCommand(cmd, current, round);
    }
    cJSON_Delete(root);
    return reply;
}

void onClientSock_cb(struct ev_loop *loop, ev_io *watcher, int /*revents*/)
{
    // One byte more than a read takes, so the text always ends in a NUL.
    std::array<char, kManagerReadMax + 1> buf{};
    const ssize_t got = read(watcher->fd, buf.data(), kManagerReadMax);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return; // nothing to read after all; the connection stands
    if (got <= 0) {
        dropConnection(loop, watcher);
        deployReportStep();
        return;
    }
    const ManagerReply reply = handleManagerMsg(buf.data(), getSysState(), g_round);
    switch (reply.action) {
    case ManagerAction::kSetState:
        countAnswer(g_round, reply.state);
        setSysState(reply.state);
        deployStateReached(reply.state);
        break;
    case ManagerAction::kLate:
        countAnswer(g_round, reply.state);
        break;
    case ManagerAction::kRunFinish:
        setSysState(reply.state);
        deployStateReached(reply.state);
        CLIENT_LOG(kLevelNotice, "%s\n", kDropCachesCmd);
        runShell(kDropCachesCmd);
        g_tickCount = 0;
        break;
    case ManagerAction::kExit:
        dropConnection(loop, watcher);
        deployStep(DeployStep::kExitOrdered);
        exit(deployEnd(DeployState::kExited));
    case ManagerAction::kNone:
        break;
    }
    deployReportStep();
}
