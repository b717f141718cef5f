#include <cstring>
#include <gtest/gtest.h>

#include "tests/support/sandbox.h"

int main(int argc, char **argv)
{
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing = listing || strncmp(argv[i], "--gtest_list_tests", 18) == 0;
    ::testing::InitGoogleTest(&argc, argv);
    // Death tests re-run this binary; the child inherits the sandbox.
    if (!listing)
        testsupport::enterSandbox();
    return RUN_ALL_TESTS();
}
