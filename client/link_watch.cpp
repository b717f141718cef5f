#include "client/link_watch.h"

#include <array>
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

namespace {

// Header and ifinfomsg: the shortest record that carries index and flags.
constexpr int kLinkRecordMin = NLMSG_LENGTH(sizeof(ifinfomsg));

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
        printf(" %.*s", static_cast<int>(ifname.size()), ifname.data());
        qualifies = carrierUp && ifname == kUsbIfName;
        break;
    }
    putchar('\n');
    return qualifies;
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
    for (const auto *header = static_cast<const nlmsghdr *>(buf); NLMSG_OK(header, len);
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
    if (!walkLinkRecords(buf.data(), len))
        return;
    setSysState(SYS_STATE_IDLE);
    usb0Networkinit();
    CLIENT_LOG(kLevelDebug, "onNetlinkSock_cb... SYS_STATE_IDLE\n");
}
