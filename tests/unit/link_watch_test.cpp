#include <linux/if.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <vector>

#include "client/link_watch.h"
#include "tests/unit/manager_peer.h"

namespace {

// An object's bytes as they lie in memory.
const auto raw = [](const auto &v) { return std::string(reinterpret_cast<const char *>(&v), sizeof(v)); };

// One attribute, padded as the kernel lays it out; len overrides rta_len.
std::string attr(uint16_t type, const std::string &data, uint16_t len = 0)
{
    std::string out = raw(rtattr{static_cast<uint16_t>(len ? len : RTA_LENGTH(data.size())), type}) + data;
    out.resize(RTA_ALIGN(out.size()), '\0');
    return out;
}

// One record with its attributes; len overrides nlmsg_len (and cuts the record).
std::string record(uint16_t type, int index, unsigned flags, const std::string &attrs = "", uint32_t len = 0)
{
    len = len ? len : static_cast<uint32_t>(NLMSG_LENGTH(sizeof(ifinfomsg)) + attrs.size());
    return (raw(nlmsghdr{len, type, 0, 0, 0}) + raw(ifinfomsg{0, 0, 0, index, flags, 0}) + attrs)
        .substr(0, NLMSG_ALIGN(len));
}

constexpr unsigned kUp = IFF_UP | IFF_LOWER_UP;
// A link notification as the kernel sends it: other attributes before the name.
const auto newLink = [](int index, const std::string &name, unsigned flags = kUp) {
    return record(RTM_NEWLINK, index, flags, attr(IFLA_MTU, "\xdc\x05") + attr(IFLA_IFNAME, name + '\0'));
};
const std::string kUsb0Up = newLink(3, "usb0");
const std::string kName = attr(IFLA_IFNAME, std::string("usb0", 5));
const std::string kError = record(NLMSG_ERROR, 0, 0);

} // namespace

// What a walk prints, and whether it calls for a restart.
TEST(LinkRecords, PrintEveryNewLinkAndQualifyOnlyUsb0WithCarrier)
{
    // Bytes, how many of them are left out of the walk at the end, restart due, lines printed.
    const std::tuple<std::string, int, bool, std::string> cases[] = {
        {kUsb0Up, 0, true, "3: up usb0\n"},
        {newLink(3, "usb0", IFF_UP), 0, false, "3: down usb0\n"},
        {newLink(5, "usb01") + newLink(6, "usb0.2"), 0, false, "5: up usb01\n6: up usb0.2\n"},
        {kUsb0Up + kError + kUsb0Up, 0, false, "3: up usb0\n"},
        // Other record types are passed over; NLMSG_DONE ends the walk.
        {kUsb0Up + record(RTM_DELLINK, 3, kUp, kName) + record(NLMSG_DONE, 0, 0) + newLink(4, "eth1"), 0,
         true, "3: up usb0\n"},
        // An attribute whose rta_len (2) cannot even hold its header ends the attributes.
        {record(RTM_NEWLINK, 3, kUp, attr(IFLA_MTU, "", 2) + kName), 0, false, "3: up\n"},
        // A record too short for its ifinfomsg is passed over.
        {record(RTM_NEWLINK, 9, kUp, "", 20) + kUsb0Up, 0, true, "3: up usb0\n"},
        // A name that fills its attribute without a NUL.
        {record(RTM_NEWLINK, 3, kUp, attr(IFLA_IFNAME, "usb0") + attr(IFLA_MTU, "XXXX")), 0, true,
         "3: up usb0\n"},
        {kUsb0Up + kUsb0Up, 4, true, "3: up usb0\n"}, // a record cut short by the read
        {"", 1, false, ""},                           // a failed read
    };
    for (const auto &[bytes, cut, reset, printed] : cases) {
        std::vector<uint32_t> aligned(bytes.size() / 4 + 1);
        memcpy(aligned.data(), bytes.data(), bytes.size());
        OutputCapture out;
        EXPECT_EQ(walkLinkRecords(aligned.data(), static_cast<int>(bytes.size()) - cut), reset) << printed;
        EXPECT_EQ(out.text(), printed);
    }
}

// The callback: an error record in a read cancels it; a qualifying read
// resets the state once, after the walk, and keeps the tick count. The
// kernel's own notifications (usb0's peer down and up again) qualify, on a
// socket with the kernel's default receive buffer.
TEST(LinkWatch, CallbackResetsOnceAfterTheWalk)
{
    makeUsbLink();
    sh("for i in $(seq 100); do ip link show usb0 | grep -q LOWER_UP && break; sleep 0.05; done");
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    ev_io watcher;
    ev_io_init(&watcher, onNetlinkSock_cb, pair[0], EV_READ);
    const auto feed = [&](const std::string &bytes) {
        send(pair[1], bytes.data(), bytes.size(), 0);
        OutputCapture out;
        onNetlinkSock_cb(ev_default_loop(0), &watcher, EV_READ);
        return plain(out.text());
    };
    g_tickCount = 5;
    setSysState(SYS_STATE_RUNNING);
    EXPECT_EQ(feed(kUsb0Up + kError), "DEBUG: onNetlinkSock_cb...\n3: up usb0\n");
    EXPECT_EQ(getSysState(), SYS_STATE_RUNNING);
    EXPECT_EQ(feed(kUsb0Up + kUsb0Up), "DEBUG: onNetlinkSock_cb...\n3: up usb0\n3: up usb0\nDEBUG: usb0 "
                                       "Networkinit...\nDEBUG: onNetlinkSock_cb... SYS_STATE_IDLE\n");
    EXPECT_EQ(getSysState(), SYS_STATE_IDLE);
    EXPECT_EQ(g_tickCount, 5);

    OutputCapture out;
    watcher.fd = createNetlinkSock();
    int rcvbuf = 0;
    socklen_t size = sizeof(rcvbuf);
    getsockopt(watcher.fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &size);
    EXPECT_GT(rcvbuf, 65536); // not the smallest buffer
    setSysState(SYS_STATE_RUNNING);
    ASSERT_EQ(sh("ip link set mgr0 down && ip link set mgr0 up"), 0);
    pollfd ready{watcher.fd, POLLIN, 0};
    for (int reads = 0; reads < 20 && getSysState() != SYS_STATE_IDLE && poll(&ready, 1, 5000) > 0; ++reads)
        onNetlinkSock_cb(ev_default_loop(0), &watcher, EV_READ);
    EXPECT_EQ(getSysState(), SYS_STATE_IDLE);
    const std::string text = plain(out.text());
    EXPECT_LT(text.find("41: down usb0\n"), text.rfind("41: up usb0\n")) << text;
    close(watcher.fd), close(pair[0]), close(pair[1]);
    sh("ip link del mgr0");
}
