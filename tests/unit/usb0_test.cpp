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
} // namespace

// Only the client's own address, in full, is accepted; the address read is
// logged whatever it is. No address, no interface (1), a buffer under 16 bytes
// or none: nothing is logged and the buffer is left alone. The bring-up logs,
// runs the real ifconfig, which gives a down, unaddressed usb0 the client's
// address and raises it, and takes at least 0.6 s.
TEST(Usb0, AddressCheckAndBringUp)
{
    makeUsbLink();
    EXPECT_EQ(lookup("usb0"), "-1 untouched ");
    EXPECT_EQ(lookup("usb7"), "1 untouched ");
    EXPECT_EQ(lookup("lo", 15), "-1 untouched ");
    EXPECT_EQ(GetLocalIp("lo", nullptr, 16), -1);
    for (const std::string addr : {"10.10.10.15", "10.10.10.1"}) {
        ASSERT_EQ(sh("ip addr flush dev usb0 && ip addr add " + addr + "/24 dev usb0"), 0);
        EXPECT_EQ(lookup("usb0"), (addr == "10.10.10.1" ? "0 " : "-1 ") + addr +
                                      " NOTICE: GetLocalIp ipaddr =" + addr + " \n");
    }

    ASSERT_EQ(sh("ip addr flush dev usb0 && ip link set usb0 down"), 0);
    OutputCapture out;
    const auto start = std::chrono::steady_clock::now();
    usb0Networkinit();
    EXPECT_GE(secondsSince(start), 0.6);
    EXPECT_EQ(plain(out.text()), "DEBUG: usb0 Networkinit...\n");
    EXPECT_EQ(lookup("usb0").substr(0, 2), "0 ");
    EXPECT_EQ(sh("ip -o link show usb0 | grep -q '[<,]UP[,>]'"), 0);
}
