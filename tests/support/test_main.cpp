#include <gtest/gtest.h>

#include "tests/support/sandbox.h"

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no sandbox. Death tests fork: the child shares it.
    if (!GTEST_FLAG_GET(list_tests))
        testsupport::enterSandbox();
    return RUN_ALL_TESTS();
}
