#include "link/link_watch.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <span>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

#include "log/log.h"

// Lines of the shared link code name "link" as their source, in either program.
#define LINK_LOG(level, ...) logPrint("link", __func__, __LINE__, (level), __VA_ARGS__)

namespace {

// Header and ifinfomsg: the shortest record that carries index and flags.
constexpr int kLinkRecordMin = NLMSG_LENGTH(sizeof(ifinfomsg));
// An interface name escaped for the link line: IFNAMSIZ bytes fit even when
// every one is a control byte; a longer, crafted name is cut.
constexpr size_t kIfNameTextMax = 4 * IFNAMSIZ + 1;
// How long what stayed queued after lost notifications is read, at most:
// a flood of changes must not hold the loop.
constexpr double kDrainSecMax = 0.1;

// NLMSG_OK with the count kept signed, so that a failed read (-1) or what
// is left after a record whose length is not a multiple of 4 walks nothing;
// the macro itself compares the count with the unsigned record length.
bool recordOk(const nlmsghdr *header, int len)
{
    return len >= static_cast<int>(sizeof(nlmsghdr)) && NLMSG_OK(header, static_cast<unsigned>(len));
}

// usb0's carrier and carrier-up count as the last record for it, or the
// kernel when asked, showed them.
bool s_usb0CarrierUp = false;
uint32_t s_usb0CarrierUpCount = 0;

// What the kernel tells of usb0 now becomes what was last seen; the
// carrier-up count stays when the kernel gives no answer.
void learnUsb0(const Usb0Link &now)
{
    s_usb0CarrierUp = now.carrierUp;
    if (now.ifindex >= 0)
        s_usb0CarrierUpCount = now.carrierUpCount;
}

// Reads one RTM_NEWLINK or RTM_DELLINK record, printing the line of a new
// one when print is set, and adds what it says about usb0 to news: a usb0
// that went away took its carrier with it.
void readLinkRecord(const nlmsghdr *header, bool print, LinkNews &news)
{
    // Too short to hold the index and flags: nothing to say about it.
    if (static_cast<int>(header->nlmsg_len) < kLinkRecordMin)
        return;

    const auto *info = static_cast<const ifinfomsg *>(NLMSG_DATA(header));
    const bool gone = header->nlmsg_type == RTM_DELLINK;
    print = print && !gone;
    const bool carrierUp = !gone && (info->ifi_flags & IFF_LOWER_UP) != 0;
    if (print)
        printf("%u: %s", static_cast<unsigned>(info->ifi_index), carrierUp ? "up" : "down");

    int attrLen = static_cast<int>(header->nlmsg_len) - kLinkRecordMin;
    for (const rtattr *attr = IFLA_RTA(info); RTA_OK(attr, attrLen); attr = RTA_NEXT(attr, attrLen)) {
        if (attr->rta_type != IFLA_IFNAME)
            continue;
        // The kernel ends the name with a NUL; a crafted record need not.
        const auto *name = static_cast<const char *>(RTA_DATA(attr));
        const std::string_view ifname(name, strnlen(name, RTA_PAYLOAD(attr)));
        std::array<char, kIfNameTextMax> text{};
        if (print)
            printf(" %s", logEscape(ifname, text));
        if (ifname == kUsbIfName) {
            if (!gone)
                s_usb0CarrierUpCount = carrierUpCountOf(header);
            if (carrierUp && !s_usb0CarrierUp) {
                news.pluggedIn = true;
                news.carrierUpCount = s_usb0CarrierUpCount;
            }
            s_usb0CarrierUp = carrierUp;
        }
        break;
    }
    if (print)
        putchar('\n');
}

double monotonicNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A NETLINK_ROUTE socket subscribed to link notifications, or -1 (errno set).
int openLinkSocket()
{
    // The kernel's default receive buffer holds a burst of notifications
    // that arrives while the loop is blocked in a copy or a bring-up.
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_pid = 0;
    local.nl_groups = RTMGRP_LINK;
    // Not bound, the socket would hear nothing: no socket rather than a deaf one.
    if (bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof(local)) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Reads what stayed queued after lost notifications (into buf, the failed
// read's: 4-byte aligned) and adds it to news, for at most
// kDrainSecMax. A flood that outlasts it is dropped: the socket is
// subscribed afresh in its place, on the same descriptor.
void drainLinkNotifications(int fd, bool print, std::span<char> buf, LinkNews &news)
{
    for (const double until = monotonicNow() + kDrainSecMax;;) {
        const auto got = static_cast<int>(recv(fd, buf.data(), buf.size(), MSG_DONTWAIT));
        if (got < 0 && errno != ENOBUFS)
            return; // drained (EAGAIN), or a failure the next read reports
        if (got > 0)
            news.pluggedIn = walkLinkRecords(buf.data(), got, print).pluggedIn || news.pluggedIn;
        if (monotonicNow() < until)
            continue;
        if (const int fresh = openLinkSocket(); fresh >= 0) {
            news.resubscribed = dup3(fresh, fd, O_CLOEXEC) == fd;
            close(fresh);
        }
        return;
    }
}

} // namespace

int subscribeLinkNotifications()
{
    const int fd = openLinkSocket();
    if (fd < 0)
        return -1;
    // Asked after subscribing, so no change falls between the two. With the
    // cable in from the start no notification for usb0 may ever come: lost
    // ones must not then be taken for a plug-in.
    learnUsb0(queryUsb0Link());
    return fd;
}

LinkNews walkLinkRecords(const void *buf, int len, bool print)
{
    LinkNews news;
    for (const auto *header = static_cast<const nlmsghdr *>(buf); recordOk(header, len);
         header = NLMSG_NEXT(header, len)) {
        if (header->nlmsg_type == NLMSG_DONE)
            break;
        if (header->nlmsg_type == NLMSG_ERROR)
            return {};
        if (header->nlmsg_type == RTM_NEWLINK || header->nlmsg_type == RTM_DELLINK)
            readLinkRecord(header, print, news);
    }
    return news;
}

bool usb0CarrierSeenUp()
{
    return s_usb0CarrierUp;
}

uint32_t usb0CarrierUpCount()
{
    return s_usb0CarrierUpCount;
}

bool usb0PluggedInUnseen()
{
    const bool wasUp = s_usb0CarrierUp;
    const Usb0Link now = queryUsb0Link();
    if (now.ifindex >= 0)
        learnUsb0(now);
    return now.carrierUp && !wasUp;
}

LinkNews readLinkNotifications(int fd, bool print)
{
    alignas(nlmsghdr) std::array<char, kNetlinkReadMax> buf{};
    const auto len = static_cast<int>(read(fd, buf.data(), buf.size()));
    if (len < 0 && errno != ENOBUFS) {
        LinkNews failed;
        failed.readError = errno;
        return failed;
    }
    if (len >= 0)
        return walkLinkRecords(buf.data(), len, print);

    // The receive buffer overflowed while the reader was busy (a copy, a
    // bring-up): a plug-in may be among the lost notifications.
    LINK_LOG(kLevelWarn, "link notifications lost (ENOBUFS); asking the kernel for usb0\n");
    // What stayed queued is older than the kernel's answer: walked first,
    // so that no older record overwrites it.
    LinkNews news;
    drainLinkNotifications(fd, print, buf, news);
    news.pluggedIn = usb0PluggedInUnseen() || news.pluggedIn;
    news.carrierUpCount = s_usb0CarrierUpCount;
    return news;
}
