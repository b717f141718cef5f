// The non-blocking connect the client uses, and usb0's address check.
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>

#include "client/usb0.h"
#include "net/net.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"

using namespace testsupport;

// A refused connect is a failure, logged as one, says why (the client's
// status) and leaks nothing.
TEST(TcpConnect, ARefusalFailsAndLeaksNothing)
{
    const auto openFds = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const OutputCapture out;
    const auto fds = openFds();
    EXPECT_EQ(tcpConnect("127.0.0.1", 1), -1); // nothing listens in the test's namespace
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(plain(out.text()), "ERR: connect error :Connection refused\n");
    EXPECT_EQ(openFds(), fds);
}

// usb0 without an address is -1, no usb0 at all 1: silent (the tick logs
// what it makes of them), the buffer untouched. Another address is
// deploy_test's.
TEST(GetLocalIp, NoAddressOrNoInterfaceFailsSilently)
{
    makeUsbLink();
    const OutputCapture out;
    char buf[16] = "untouched";
    EXPECT_EQ(GetLocalIp("usb0", buf, sizeof(buf)), -1);
    EXPECT_EQ(GetLocalIp("usb7", buf, sizeof(buf)), 1);
    EXPECT_EQ(buf + plain(out.text()), std::string("untouched"));
}
