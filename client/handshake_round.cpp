#include "client/handshake_round.h"

HandshakeRound g_round;

namespace {

// The request whose answer moves the client to state (kNone: none).
Request requestAnsweredBy(SysState state)
{
    switch (state) {
    case SYS_STATE_CONNECTED:
        return Request::kConnected;
    case SYS_STATE_MOUNTING:
        return Request::kMount;
    case SYS_STATE_RUNNING:
        return Request::kRun;
    default:
        return Request::kNone;
    }
}

} // namespace

Request requestSentIn(SysState state)
{
    switch (state) {
    case SYS_STATE_IDLE:
        return Request::kConnected;
    case SYS_STATE_CONNECTED:
        return Request::kMount;
    case SYS_STATE_MOUNT_FINISH:
        return Request::kRun;
    default:
        return Request::kNone;
    }
}

void countSent(HandshakeRound &round, SysState state)
{
    const Request request = requestSentIn(state);
    if (request != Request::kNone)
        ++round.sent[static_cast<size_t>(request)];
}

bool isLateAnswer(const HandshakeRound &round, SysState current, SysState target)
{
    const Request request = requestAnsweredBy(target);
    if (request == Request::kNone)
        return false;
    const auto i = static_cast<size_t>(request);
    // The states' numbers follow the handshake's steps.
    return round.sent[i] > round.answered[i] && target < current;
}

void countAnswer(HandshakeRound &round, SysState target)
{
    const Request request = requestAnsweredBy(target);
    if (request == Request::kNone)
        return;
    const auto i = static_cast<size_t>(request);
    if (round.answered[i] < round.sent[i])
        ++round.answered[i];
}

void restartHandshake()
{
    setSysState(SYS_STATE_IDLE);
    g_round = {};
}
