#include "client/link_watch.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

#include "client/client_log.h"
#include "client/state.h"
#include "client/usb0.h"
#include "net/fd_guard.h"

namespace {

// Header and ifinfomsg: the shortest record that carries index and flags.
constexpr int kLinkRecordMin = NLMSG_LENGTH(sizeof(ifinfomsg));
// An interface name escaped for the link line: IFNAMSIZ bytes fit even when
// every one is a control byte; a longer, crafted name is cut.
constexpr size_t kIfNameTextMax = 4 * IFNAMSIZ + 1;

// NLMSG_OK with the count kept signed, so that a failed read (-1) or what
// is left after a record whose length is not a multiple of 4 walks nothing;
// the macro itself compares the count with the unsigned record length.
bool recordOk(const nlmsghdr *header, int len)
{
    return len >= static_cast<int>(sizeof(nlmsghdr)) && NLMSG_OK(header, static_cast<unsigned>(len));
}

// usb0's carrier as the last record for it (or the query after lost
// notifications) showed it; down until one shows it up.
bool s_usb0CarrierUp = false;

// Prints one RTM_NEWLINK record's line; true when it is usb0 with its carrier up.
bool printLinkRecord(const nlmsghdr *header)
{
    // Too short to hold the index and flags: nothing to say about it.
    if (static_cast<int>(header->nlmsg_len) < kLinkRecordMin)
        return false;

    const auto *info = static_cast<const ifinfomsg *>(NLMSG_DATA(header));
    const bool carrierUp = (info->ifi_flags & IFF_LOWER_UP) != 0;
    printf("%u: %s", static_cast<unsigned>(info->ifi_index), carrierUp ? "up" : "down");

    bool qualifies = false;
    int attrLen = static_cast<int>(header->nlmsg_len) - kLinkRecordMin;
    for (const rtattr *attr = IFLA_RTA(info); RTA_OK(attr, attrLen); attr = RTA_NEXT(attr, attrLen)) {
        if (attr->rta_type != IFLA_IFNAME)
            continue;
        // The kernel ends the name with a NUL; a crafted record need not.
        const auto *name = static_cast<const char *>(RTA_DATA(attr));
        const std::string_view ifname(name, strnlen(name, RTA_PAYLOAD(attr)));
        std::array<char, kIfNameTextMax> text{};
        printf(" %s", logEscape(ifname, text));
        const bool isUsb0 = ifname == kUsbIfName;
        if (isUsb0)
            s_usb0CarrierUp = carrierUp;
        qualifies = carrierUp && isUsb0;
        break;
    }
    putchar('\n');
    return qualifies;
}

// usb0's carrier now, asked of the kernel with RTM_GETLINK on a socket of
// its own: 1 up, 0 down, -1 when there is no answer (no usb0 among them).
int queryUsb0Carrier()
{
    const FdGuard fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.get() < 0)
        return -1;
    struct {
        nlmsghdr header;
        ifinfomsg info;
        rtattr nameAttr;
        std::array<char, IFNAMSIZ> name;
    } request{};
    request.header.nlmsg_len = sizeof(request);
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.nameAttr.rta_type = IFLA_IFNAME;
    request.nameAttr.rta_len = RTA_LENGTH(sizeof(request.name));
    std::string_view(kUsbIfName).copy(request.name.data(), request.name.size() - 1);
    if (send(fd.get(), &request, sizeof(request), 0) < 0)
        return -1;

    // The kernel answers a route request before send returns.
    alignas(nlmsghdr) std::array<char, kNetlinkReadMax> buf{};
    auto len = static_cast<int>(recv(fd.get(), buf.data(), buf.size(), MSG_DONTWAIT));
    for (const auto *header = reinterpret_cast<const nlmsghdr *>(buf.data()); recordOk(header, len);
         header = NLMSG_NEXT(header, len)) {
        if (header->nlmsg_type != RTM_NEWLINK || header->nlmsg_len < static_cast<unsigned>(kLinkRecordMin))
            continue;
        const auto *info = static_cast<const ifinfomsg *>(NLMSG_DATA(header));
        return (info->ifi_flags & IFF_LOWER_UP) != 0 ? 1 : 0;
    }
    return -1;
}

// After lost notifications: true when usb0's carrier is up now and was last
// seen down, i.e. a plug-in may have been among them.
bool usb0CameUpUnseen()
{
    const bool wasUp = s_usb0CarrierUp;
    const int now = queryUsb0Carrier();
    if (now >= 0)
        s_usb0CarrierUp = now == 1;
    return now == 1 && !wasUp;
}

} // namespace

int createNetlinkSock()
{
    // The kernel's default receive buffer holds a burst of notifications
    // that arrives while the loop is blocked in a copy or a bring-up.
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_pid = 0;
    local.nl_groups = RTMGRP_LINK;
    bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof(local));
    CLIENT_LOG(kLevelNotice, "create netlink socket %d\n", fd);
    return fd;
}

bool walkLinkRecords(const void *buf, int len)
{
    bool found = false;
    for (const auto *header = static_cast<const nlmsghdr *>(buf); recordOk(header, len);
         header = NLMSG_NEXT(header, len)) {
        if (header->nlmsg_type == NLMSG_DONE)
            break;
        if (header->nlmsg_type == NLMSG_ERROR)
            return false;
        if (header->nlmsg_type == RTM_NEWLINK && printLinkRecord(header))
            found = true;
    }
    return found;
}

void onNetlinkSock_cb(struct ev_loop * /*loop*/, ev_io *watcher, int /*revents*/)
{
    CLIENT_LOG(kLevelDebug, "onNetlinkSock_cb...\n");
    alignas(nlmsghdr) std::array<char, kNetlinkReadMax> buf{};
    const auto len = static_cast<int>(read(watcher->fd, buf.data(), buf.size()));
    if (len < 0 && errno == ENOBUFS) {
        // The receive buffer overflowed while the loop was busy (a copy, a
        // bring-up): a plug-in may be among the lost notifications.
        CLIENT_LOG(kLevelWarn, "link notifications lost (ENOBUFS); asking the kernel for usb0\n");
        if (!usb0CameUpUnseen())
            return;
    } else if (!walkLinkRecords(buf.data(), len)) {
        return;
    }
    setSysState(SYS_STATE_IDLE);
    usb0Networkinit();
    CLIENT_LOG(kLevelDebug, "onNetlinkSock_cb... SYS_STATE_IDLE\n");
}
