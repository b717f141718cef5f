#include "client/state.h"

SysState g_sysState = SYS_STATE_IDLE;
// Statically initialised with default attributes, so the lock is usable
// before main runs (tests use it without main).
pthread_mutex_t g_stateLock = PTHREAD_MUTEX_INITIALIZER;
int32_t g_tickCount = 0;

void setSysState(int value)
{
    pthread_mutex_lock(&g_stateLock);
    g_sysState = value;
    pthread_mutex_unlock(&g_stateLock);
}

int getSysState()
{
    pthread_mutex_lock(&g_stateLock);
    const int value = g_sysState;
    pthread_mutex_unlock(&g_stateLock);
    return value;
}
