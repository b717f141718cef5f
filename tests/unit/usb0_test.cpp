// usb0's address check and bring-up, on a veth in the test's own namespace.
#include <gtest/gtest.h>

#include "client/usb0.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"

using namespace testsupport;

namespace {
// GetLocalIp's result, then what its buffer (first "untouched") holds, then the log.
std::string lookup(const char *ifname, int outlen = 16)
{
    OutputCapture out;
    char buf[16] = "untouched";
    const int result = GetLocalIp(ifname, buf, outlen);
    return std::to_string(result) + " " + buf + " " + plain(out.text());
}
// Gives usb0 addr alone.
void address(const std::string &addr)
{
    makeUsbLink();
    ASSERT_EQ(sh("ip addr add " + addr + "/24 dev usb0"), 0);
}
} // namespace

TEST(Usb0, TheClientsAddressIsAcceptedAndLogged)
{
    address("10.10.10.1");
    EXPECT_EQ(lookup("usb0"), "0 10.10.10.1 NOTICE: GetLocalIp ipaddr =10.10.10.1 \n");
}

TEST(Usb0, AnAddressThatOnlyBeginsLikeTheClientsIsRejected)
{
    address("10.10.10.15");
    EXPECT_EQ(lookup("usb0"), "-1 10.10.10.15 NOTICE: GetLocalIp ipaddr =10.10.10.15 \n");
}

TEST(Usb0, NoAddressOrNoInterfaceLeavesTheBufferAndLogsNothing)
{
    makeUsbLink();
    EXPECT_EQ(lookup("usb0"), "-1 untouched ");
    EXPECT_EQ(lookup("usb7"), "1 untouched ");
}

TEST(Usb0, ABufferUnder16BytesIsRefused)
{
    address("10.10.10.1");
    EXPECT_EQ(lookup("usb0", 15), "-1 untouched ");
    EXPECT_EQ(GetLocalIp("usb0", nullptr, 16), -1);
}

TEST(Usb0, BringUpGivesADownUsb0ItsAddressAfterPausing)
{
    makeUsbLink();
    ASSERT_EQ(sh("ip link set usb0 down"), 0);
    const auto start = std::chrono::steady_clock::now();
    usb0Networkinit();
    EXPECT_GE(secondsSince(start), 0.6);
    EXPECT_EQ(lookup("usb0").substr(0, 2), "0 ");
    EXPECT_EQ(sh("ip -o link show usb0 | grep -q '[<,]UP[,>]'"), 0);
}
