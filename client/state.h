// The deployment state and the reminder tick counter.
#pragma once

#include <cstdint>
#include <pthread.h>

using SysState = int32_t;

constexpr SysState SYS_STATE_IDLE = 0;
constexpr SysState SYS_STATE_CONNECTED = 1;
constexpr SysState SYS_STATE_MOUNTING = 4;
constexpr SysState SYS_STATE_MOUNT_FINISH = 5;
constexpr SysState SYS_STATE_RUNNING = 7;
constexpr SysState SYS_STATE_RUN_FINISH = 8;

// Where the deployment stands; touched only through getSysState/setSysState.
extern SysState g_sysState;
// Guards g_sysState.
extern pthread_mutex_t g_stateLock;
// Ticks spent in SYS_STATE_RUNNING since the last reminder; not guarded.
extern int32_t g_tickCount;

void setSysState(int value);
int getSysState();
