// usb0's address check and bring-up, on a veth in the test's own namespace.
#include <gtest/gtest.h>

#include "client/usb0.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"
#include "tests/unit/protocol.h"

using namespace testsupport;

namespace {
struct Lookup : Case {
    std::string addr;  // usb0's address, if any
    std::string gives; // the result, what the buffer (first "untouched") holds, the log
    const char *ifname = "usb0";
};
class GetLocalIpOf : public ::testing::TestWithParam<Lookup> {};
} // namespace

TEST_P(GetLocalIpOf, Gives)
{
    makeUsbLink(GetParam().addr);
    const OutputCapture out;
    char buf[16] = "untouched";
    const int result = GetLocalIp(GetParam().ifname, buf, sizeof(buf));
    EXPECT_EQ(std::to_string(result) + " " + buf + " " + plain(out.text()), GetParam().gives);
}

INSTANTIATE_TEST_SUITE_P(Usb0, GetLocalIpOf,
                         ::testing::Values(Lookup{{"NoAddressIsMinusOneAndSilent"}, "", "-1 untouched "},
                                           Lookup{{"NoInterfaceIsOneAndSilent"}, "", "1 untouched ", "usb7"}),
                         behaviourOf<::testing::TestParamInfo<Lookup>>);
