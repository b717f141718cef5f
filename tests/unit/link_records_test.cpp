// Which link notifications bring the cable (and restart the deployment),
// and what the walk prints. A carrier-up, and news of a usb0 whose carrier
// stays up, are the system test's (carrier_edge); a bare up is a plug-in
// in the rows below.
#include <cstring>
#include <gtest/gtest.h>

#include "link/link_watch.h"
#include "tests/support/capture.h"
#include "tests/unit/link_records.h"
#include "tests/unit/protocol.h"

namespace {
struct Read : Case {
    std::string bytes;
    std::string does;      // "plug-in " when due, then the lines printed
    size_t cut = 0;        // bytes left out of the walk at the end
    bool upBefore = false; // usb0's carrier as last seen before the read
};
class LinkRecords : public ::testing::TestWithParam<Read> {};
const std::string kUsb0Down = newLink(40, "usb0", IFF_UP);
const std::string kPlugIn = "plug-in 40: up usb0\n", kDownUp = "40: down usb0\n40: up usb0\n";

// Walks bytes as one read (4-byte aligned, as the client reads).
LinkNews walk(const std::string &bytes, size_t cut = 0, bool print = true)
{
    alignas(nlmsghdr) char buf[512] = {};
    memcpy(buf, bytes.data(), bytes.size());
    return walkLinkRecords(buf, static_cast<int>(bytes.size() - cut), print);
}
} // namespace

TEST_P(LinkRecords, Walk)
{
    walk(GetParam().upBefore ? kUsb0Up : kUsb0Down, 0, false);
    const testsupport::OutputCapture out;
    const LinkNews news = walk(GetParam().bytes, GetParam().cut);
    EXPECT_EQ((news.pluggedIn ? "plug-in " : "") + out.text(), GetParam().does);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, LinkRecords,
    ::testing::Values(
        Read{{"AQuickUnplugAndPlugInOneReadBringsTheCable"},
             kUsb0Down + kUsb0Up,
             "plug-in " + kDownUp,
             0,
             true},
        Read{{"OnlyTheNameUsb0ItselfQualifies"}, newLink(42, "usb01"), "42: up usb01\n"},
        Read{{"NamesAreEscaped"}, newLink(43, "u\\\n"), "43: up u\\\\\\x0a\n"},
        Read{{"AnErrorRecordCancelsTheRestart"}, kUsb0Up + record(NLMSG_ERROR, 0) + kUsb0Up, "40: up usb0\n"},
        Read{{"AUsb0RemovedAndMadeAgainIsAPlugIn"},
             record(RTM_DELLINK, 40, kUp, attr(IFLA_IFNAME, "usb0")) + kUsb0Up,
             kPlugIn,
             0,
             true},
        Read{{"ARecordCutByTheReadIsNotWalked"}, kUsb0Up + newLink(2, "eth0"), kPlugIn, 24},
        Read{{"AFailedReadWalksNothing"}, "", "", 1}),
    behaviourOf<::testing::TestParamInfo<Read>>);
