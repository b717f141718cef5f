// Which link notifications restart the deployment, and what the walk prints.
#include <cstring>
#include <gtest/gtest.h>

#include "client/link_watch.h"
#include "tests/support/capture.h"
#include "tests/unit/link_records.h"
#include "tests/unit/protocol.h"

namespace {
struct Read : Case {
    std::string bytes;
    std::string does; // "restart " when due, then the lines printed
    size_t cut = 0;   // bytes left out of the walk at the end
};
class LinkRecords : public ::testing::TestWithParam<Read> {};
} // namespace

TEST_P(LinkRecords, Walk)
{
    alignas(nlmsghdr) char buf[512] = {};
    memcpy(buf, GetParam().bytes.data(), GetParam().bytes.size());
    const testsupport::OutputCapture out;
    const bool restart = walkLinkRecords(buf, static_cast<int>(GetParam().bytes.size() - GetParam().cut));
    EXPECT_EQ((restart ? "restart " : "") + out.text(), GetParam().does);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, LinkRecords,
    ::testing::Values(
        Read{{"Usb0CarrierUpRestarts"}, kUsb0Up, "restart 40: up usb0\n"},
        Read{{"Usb0CarrierDownIsOnlyPrinted"}, newLink(40, "usb0", IFF_UP), "40: down usb0\n"},
        Read{{"OnlyTheNameUsb0ItselfQualifies"}, newLink(42, "usb01"), "42: up usb01\n"},
        Read{{"NamesAreEscaped"}, newLink(43, "u\\\n"), "43: up u\\\\\\x0a\n"},
        Read{{"AnErrorRecordCancelsTheRestart"}, kUsb0Up + record(NLMSG_ERROR, 0) + kUsb0Up, "40: up usb0\n"},
        Read{{"DoneEndsTheWalk"}, kUsb0Up + record(NLMSG_DONE, 0) + newLink(2, "e"), "restart 40: up usb0\n"},
        Read{{"OtherRecordTypesAreSkipped"}, record(RTM_DELLINK, 40) + kUsb0Up, "restart 40: up usb0\n"},
        Read{{"ARecordCutByTheReadIsNotWalked"}, kUsb0Up + newLink(2, "eth0"), "restart 40: up usb0\n", 24},
        Read{{"AFailedReadWalksNothing"}, "", "", 1}),
    behaviourOf<::testing::TestParamInfo<Read>>);
