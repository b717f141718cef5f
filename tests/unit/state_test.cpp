#include <gtest/gtest.h>

#include "client/state.h"

// The state starts idle and stores any value it is given.
TEST(SysState, StartsIdleAndStoresAnyValue)
{
    EXPECT_EQ(getSysState(), SYS_STATE_IDLE);
    setSysState(SYS_STATE_RUN_FINISH);
    EXPECT_EQ(getSysState(), 8);
    setSysState(42);
    EXPECT_EQ(getSysState(), 42);
}
