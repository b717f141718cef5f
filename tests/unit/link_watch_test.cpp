#include <linux/if.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <vector>

#include "client/link_watch.h"
#include "tests/unit/manager_peer.h"

namespace {

// One attribute, padded as the kernel lays it out; len overrides rta_len.
std::string attr(uint16_t type, const std::string &data, uint16_t len = 0)
{
    const rtattr head{static_cast<uint16_t>(len ? len : RTA_LENGTH(data.size())), type};
    std::string out = std::string(reinterpret_cast<const char *>(&head), sizeof(head)) + data;
    out.resize(RTA_ALIGN(out.size()), '\0');
    return out;
}

// One link record carrying a name attribute (unless name is empty) after attrs; len overrides nlmsg_len.
std::string record(uint16_t type, int index, unsigned flags, const std::string &name, std::string attrs = "",
                   uint32_t len = 0)
{
    attrs += name.empty() ? "" : attr(IFLA_IFNAME, name + '\0');
    const nlmsghdr head{len ? len : static_cast<uint32_t>(NLMSG_LENGTH(sizeof(ifinfomsg)) + attrs.size()),
                        type, 0, 0, 0};
    const ifinfomsg info{AF_UNSPEC, 0, 0, index, flags, 0};
    std::string out = std::string(reinterpret_cast<const char *>(&head), sizeof(head)) +
                      std::string(reinterpret_cast<const char *>(&info), sizeof(info)) + attrs;
    out.resize(NLMSG_ALIGN(head.nlmsg_len), '\0');
    return out;
}

constexpr unsigned kUp = IFF_UP | IFF_LOWER_UP;
const std::string kUsb0Up = record(RTM_NEWLINK, 3, kUp, "usb0");
const std::string kError = record(NLMSG_ERROR, 0, 0, "");

} // namespace

// What a walk prints, and whether it calls for a restart.
TEST(LinkRecords, PrintEveryNewLinkAndQualifyOnlyUsb0WithCarrier)
{
    // Bytes, how many of them are left out of the walk at the end, restart due, lines printed.
    const std::tuple<std::string, int, bool, std::string> cases[] = {
        {kUsb0Up, 0, true, "3: up usb0\n"},
        {record(RTM_NEWLINK, 3, IFF_UP, "usb0"), 0, false, "3: down usb0\n"},
        {record(RTM_NEWLINK, 2, kUp, "eth0"), 0, false, "2: up eth0\n"},
        {record(RTM_NEWLINK, 5, kUp, "usb01") + record(RTM_NEWLINK, 6, kUp, "usb0.2"), 0, false,
         "5: up usb01\n6: up usb0.2\n"},
        {record(RTM_NEWLINK, 3, kUp, "", attr(IFLA_MTU, "\xdc\x05")), 0, false, "3: up\n"},
        {record(RTM_NEWLINK, 3, kUp, "usb0", attr(IFLA_MTU, "\xdc\x05")), 0, true, "3: up usb0\n"},
        {kUsb0Up + kUsb0Up, 0, true, "3: up usb0\n3: up usb0\n"},
        {kUsb0Up + kError + kUsb0Up, 0, false, "3: up usb0\n"},
        {kUsb0Up + record(NLMSG_DONE, 0, 0, "") + record(RTM_NEWLINK, 4, kUp, "eth1"), 0, true,
         "3: up usb0\n"},
        {record(RTM_DELLINK, 3, kUp, "usb0"), 0, false, ""},
        {record(RTM_NEWLINK, 3, kUp, "usb0", attr(IFLA_MTU, "", 2)), 0, false, "3: up\n"},
        {record(RTM_NEWLINK, 9, kUp, "", "", 20) + kUsb0Up, 0, true, "3: up usb0\n"},
        {record(RTM_NEWLINK, 3, kUp, "", attr(IFLA_IFNAME, "usb0") + attr(IFLA_MTU, "XXXX")), 0, true,
         "3: up usb0\n"},
        {kUsb0Up + kUsb0Up, 4, true, "3: up usb0\n"},
        {kUsb0Up, static_cast<int>(kUsb0Up.size()) - 10, false, ""},
        {"", 1, false, ""},
    };
    for (const auto &[bytes, cut, reset, printed] : cases) {
        std::vector<uint32_t> aligned(bytes.size() / 4 + 1);
        memcpy(aligned.data(), bytes.data(), bytes.size());
        testsupport::OutputCapture out;
        EXPECT_EQ(walkLinkRecords(aligned.data(), static_cast<int>(bytes.size()) - cut), reset) << printed;
        EXPECT_EQ(out.text(), printed);
    }
}

// Fed through a socket: a qualifying read resets the state once and keeps the
// tick count; an error record in the same read cancels it.
TEST(LinkWatch, CallbackResetsOnceAfterTheWalk)
{
    g_loop = ev_default_loop(0);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    ev_io watcher;
    ev_io_init(&watcher, onNetlinkSock_cb, pair[0], EV_READ);
    g_tickCount = 5;
    for (const std::string &bytes : {kUsb0Up + kError, kUsb0Up + kUsb0Up}) {
        ASSERT_EQ(send(pair[1], bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
        setSysState(SYS_STATE_RUNNING);
        testsupport::OutputCapture out;
        onNetlinkSock_cb(g_loop, &watcher, EV_READ);
        const bool reset = bytes.size() == 2 * kUsb0Up.size();
        EXPECT_EQ(getSysState(), reset ? SYS_STATE_IDLE : SYS_STATE_RUNNING);
        EXPECT_EQ(testsupport::plain(out.text()),
                  reset ? "DEBUG: onNetlinkSock_cb...\n3: up usb0\n3: up usb0\nDEBUG: usb0 Networkinit...\n"
                          "DEBUG: onNetlinkSock_cb... SYS_STATE_IDLE\n"
                        : "DEBUG: onNetlinkSock_cb...\n3: up usb0\n");
    }
    EXPECT_EQ(g_tickCount, 5);
    close(pair[0]), close(pair[1]);
}

// The kernel's own notifications: usb0's peer goes down and up again.
TEST(LinkWatch, CarrierUpFromTheKernelRestartsTheSequence)
{
    testsupport::sh("ip link del mgr0 2>/dev/null");
    testsupport::makeUsbLink();
    testsupport::sh(
        "for i in $(seq 100); do ip link show usb0 | grep -q LOWER_UP && break; sleep 0.05; done");
    testsupport::OutputCapture out;
    const int fd = createNetlinkSock();
    int rcvbuf = 0;
    socklen_t size = sizeof(rcvbuf);
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &size);
    EXPECT_GT(rcvbuf, 65536); // the kernel's default, not the smallest buffer
    ev_io watcher;
    ev_io_init(&watcher, onNetlinkSock_cb, fd, EV_READ);
    setSysState(SYS_STATE_RUNNING);
    ASSERT_EQ(testsupport::sh("ip link set mgr0 down && ip link set mgr0 up"), 0);
    pollfd ready{fd, POLLIN, 0};
    for (int reads = 0; reads < 20 && getSysState() != SYS_STATE_IDLE && poll(&ready, 1, 5000) > 0; ++reads)
        onNetlinkSock_cb(g_loop, &watcher, EV_READ);
    EXPECT_EQ(getSysState(), SYS_STATE_IDLE);
    const std::string text = testsupport::plain(out.text());
    EXPECT_EQ(text.find("NOTICE: create netlink socket " + std::to_string(fd) + "\n"), 0u) << text;
    const size_t down = text.find("41: down usb0\n");
    EXPECT_LT(down, text.find("41: up usb0\n", down)) << text;
    close(fd);
    testsupport::sh("ip link del mgr0");
}
