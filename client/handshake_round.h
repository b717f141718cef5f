// The handshake's round, since it last (re)started: how often the client
// sent each request that it repeats until the manager answers it, and how
// often the manager answered. A slow manager that answers every repeat
// sends answers that arrive after the client has moved on; such a late
// answer must never take the handshake back (a second copy under a running
// application).
#pragma once

#include <array>
#include <cstdint>

#include "client/state.h"

// The requests repeated on every tick until answered.
enum class Request : uint8_t {
    kConnected, // {"cmd":"connected"}, answered by connected
    kMount,     // {"cmd":"sys_mount"}, answered by sys_mountimg
    kRun,       // {"cmd":"sys_run"}, answered by sys_runing
    kNone,
};
constexpr size_t kRequests = 3;

struct HandshakeRound {
    std::array<int, kRequests> sent{};
    std::array<int, kRequests> answered{}; // never more than sent
};

// This round's counts.
extern HandshakeRound g_round;

// The repeated request that a tick in state sends (kNone: none).
Request requestSentIn(SysState state);

// Counts a request sent by a tick in state.
void countSent(HandshakeRound &round, SysState state);

// An answer that would move the client from current to target, to a
// request that has more sends than answers, and that would put the client
// at an earlier step: a late answer to a repeat, to be ignored. Past that
// count a command acts as sent (a manager's "connected" starts over).
bool isLateAnswer(const HandshakeRound &round, SysState current, SysState target);

// Counts an answer that moves the client to target (or would: a late one)
// against the sends still unanswered.
void countAnswer(HandshakeRound &round, SysState target);

// The handshake starts over: IDLE, and a new round.
void restartHandshake();
