// usb0's address check and bring-up, on a veth in the test's own namespace.
#include <gtest/gtest.h>

#include "client/usb0.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"
#include "tests/unit/protocol.h"

using namespace testsupport;

namespace {
struct Lookup : Case {
    std::string addr; // usb0's address, if any
    const char *ifname;
    int outlen;
    std::string gives; // the result, what the buffer (first "untouched") holds, the log
};
class GetLocalIpOf : public ::testing::TestWithParam<Lookup> {};
} // namespace

TEST_P(GetLocalIpOf, Gives)
{
    makeUsbLink();
    if (!GetParam().addr.empty()) {
        ASSERT_EQ(sh("ip addr add " + GetParam().addr + "/24 dev usb0"), 0);
    }
    const OutputCapture out;
    char buf[16] = "untouched";
    const int result = GetLocalIp(GetParam().ifname, buf, GetParam().outlen);
    EXPECT_EQ(std::to_string(result) + " " + buf + " " + plain(out.text()), GetParam().gives);
}

INSTANTIATE_TEST_SUITE_P(
    Usb0, GetLocalIpOf,
    ::testing::Values(Lookup{{"TheClientsAddressIsAcceptedAndLogged"},
                             "10.10.10.1",
                             "usb0",
                             16,
                             "0 10.10.10.1 NOTICE: GetLocalIp ipaddr =10.10.10.1 \n"},
                      Lookup{{"AnAddressThatOnlyBeginsLikeTheClientsIsRejected"},
                             "10.10.10.15",
                             "usb0",
                             16,
                             "-1 10.10.10.15 NOTICE: GetLocalIp ipaddr =10.10.10.15 \n"},
                      Lookup{{"NoAddressIsMinusOneAndSilent"}, "", "usb0", 16, "-1 untouched "},
                      Lookup{{"NoInterfaceIsOneAndSilent"}, "", "usb7", 16, "1 untouched "},
                      Lookup{{"ABufferUnder16BytesIsRefused"}, "10.10.10.1", "usb0", 15, "-1 untouched "}),
    behaviourOf<::testing::TestParamInfo<Lookup>>);

TEST(Usb0, BringUpGivesADownUsb0ItsAddressAfterPausing)
{
    makeUsbLink();
    ASSERT_EQ(sh("ip link set usb0 down"), 0);
    const auto start = std::chrono::steady_clock::now();
    usb0Networkinit();
    EXPECT_GE(secondsSince(start), 0.6);
    EXPECT_EQ(sh("ip -4 addr show dev usb0 | grep -q 'inet 10.10.10.1/'"), 0);
    EXPECT_EQ(sh("ip -o link show usb0 | grep -q '[<,]UP[,>]'"), 0);
}
