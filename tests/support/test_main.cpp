#include <gtest/gtest.h>

#include "tests/support/sandbox.h"

namespace {
// Gives every test namespaces of its own, however many run in one process.
class SandboxEachTest : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo & /*test*/) override { testsupport::enterSandbox(); }
};
} // namespace

// The main of the binaries whose tests drive the kernel, the shell or a peer.
// Death tests fork: the child shares its test's sandbox.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new SandboxEachTest);
    return RUN_ALL_TESTS();
}
