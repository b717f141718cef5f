// Which link notifications restart the deployment, and what the walk prints.
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

#include "client/link_watch.h"
#include "tests/support/capture.h"
#include "tests/unit/link_records.h"

namespace {
// Whether the walk over the first len bytes (all by default) calls for a
// restart, then the lines it printed.
std::string walk(const std::string &bytes, size_t len = std::string::npos)
{
    std::vector<uint32_t> aligned(bytes.size() / 4 + 1);
    memcpy(aligned.data(), bytes.data(), bytes.size());
    const testsupport::OutputCapture out;
    const bool restart = walkLinkRecords(aligned.data(), static_cast<int>(std::min(len, bytes.size())));
    return (restart ? "restart " : "") + out.text();
}
} // namespace

TEST(LinkRecords, Usb0CarrierUpRestarts)
{
    EXPECT_EQ(walk(kUsb0Up), "restart 40: up usb0\n");
}

TEST(LinkRecords, Usb0CarrierDownIsOnlyPrinted)
{
    EXPECT_EQ(walk(newLink(40, "usb0", IFF_UP)), "40: down usb0\n");
}

TEST(LinkRecords, OnlyTheNameUsb0ItselfQualifies)
{
    EXPECT_EQ(walk(newLink(42, "usb01") + newLink(43, "usb0.2") + newLink(2, "eth0")),
              "42: up usb01\n43: up usb0.2\n2: up eth0\n");
}

TEST(LinkRecords, AnErrorRecordCancelsTheRestart)
{
    EXPECT_EQ(walk(kUsb0Up + kError + kUsb0Up), "40: up usb0\n");
}

TEST(LinkRecords, DoneEndsTheWalk)
{
    EXPECT_EQ(walk(kUsb0Up + record(NLMSG_DONE, 0, 0) + newLink(2, "eth0")), "restart 40: up usb0\n");
}

TEST(LinkRecords, OtherRecordTypesAreSkippedSilently)
{
    EXPECT_EQ(walk(record(RTM_DELLINK, 40, kUp, attr(IFLA_IFNAME, "usb0")) + kUsb0Up),
              "restart 40: up usb0\n");
}

TEST(LinkRecords, ABrokenAttributeHidesTheName)
{
    EXPECT_EQ(walk(record(RTM_NEWLINK, 40, kUp, attr(IFLA_MTU, "", 2) + attr(IFLA_IFNAME, "usb0"))),
              "40: up\n");
}

TEST(LinkRecords, ARecordCutByTheReadIsNotWalked)
{
    EXPECT_EQ(walk(kUsb0Up + newLink(2, "eth0"), kUsb0Up.size() + 4), "restart 40: up usb0\n");
}
