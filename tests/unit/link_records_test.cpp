// Which link notifications restart the deployment, and what the walk prints.
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

#include "client/link_watch.h"
#include "tests/support/capture.h"
#include "tests/unit/link_records.h"
#include "tests/unit/protocol.h"

namespace {
struct Read : Case {
    std::string bytes;
    size_t cut;       // bytes left out of the walk at the end
    std::string does; // "restart " when due, then the lines printed
};
class LinkRecords : public ::testing::TestWithParam<Read> {};
} // namespace

TEST_P(LinkRecords, Walk)
{
    const std::string &bytes = GetParam().bytes;
    std::vector<uint32_t> aligned(bytes.size() / 4 + 1);
    memcpy(aligned.data(), bytes.data(), bytes.size());
    const testsupport::OutputCapture out;
    const bool restart = walkLinkRecords(aligned.data(), static_cast<int>(bytes.size() - GetParam().cut));
    EXPECT_EQ((restart ? "restart " : "") + out.text(), GetParam().does);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, LinkRecords,
    ::testing::Values(
        Read{{"Usb0CarrierUpRestarts"}, kUsb0Up, 0, "restart 40: up usb0\n"},
        Read{{"Usb0CarrierDownIsOnlyPrinted"}, newLink(40, "usb0", IFF_UP), 0, "40: down usb0\n"},
        Read{{"OnlyTheNameUsb0ItselfQualifies"},
             newLink(42, "usb01") + newLink(43, "usb0.2") + newLink(2, "eth0"),
             0,
             "42: up usb01\n43: up usb0.2\n2: up eth0\n"},
        Read{{"AnErrorRecordCancelsTheRestart"}, kUsb0Up + kError + kUsb0Up, 0, "40: up usb0\n"},
        Read{{"DoneEndsTheWalk"},
             kUsb0Up + record(NLMSG_DONE, 0, 0) + newLink(2, "eth0"),
             0,
             "restart 40: up usb0\n"},
        Read{{"OtherRecordTypesAreSkippedSilently"},
             record(RTM_DELLINK, 40, kUp, attr(IFLA_IFNAME, "usb0")) + kUsb0Up,
             0,
             "restart 40: up usb0\n"},
        Read{{"ABrokenAttributeHidesTheName"},
             record(RTM_NEWLINK, 40, kUp, attr(IFLA_MTU, "", 2) + attr(IFLA_IFNAME, "usb0")),
             0,
             "40: up\n"},
        Read{{"ARecordCutByTheReadIsNotWalked"},
             kUsb0Up + newLink(2, "eth0"),
             newLink(2, "eth0").size() - 4,
             "restart 40: up usb0\n"},
        Read{{"AFailedReadWalksNothing"}, "", 1, ""}),
    behaviourOf<::testing::TestParamInfo<Read>>);
