// The watch on the kernel's link notifications (rtnetlink).
#pragma once

#include <ev.h>

// One read of notifications takes at most this much.
constexpr int kNetlinkReadMax = 20480;

// Opens a NETLINK_ROUTE socket subscribed to link notifications and learns
// usb0's carrier from the kernel; -1 (errno set) when no socket could be
// made or subscribed.
int subscribeLinkNotifications();

// subscribeLinkNotifications, logged: the client's link watch.
int createNetlinkSock();

void onNetlinkSock_cb(struct ev_loop *loop, ev_io *watcher, int revents);

// What one read of link notifications told about usb0.
struct LinkNews {
    bool carrierUp = false; // a record showed usb0 with its carrier up: the deployment restarts
    bool pluggedIn = false; // one did so after usb0's carrier was last seen down: the cable came
    int readError = 0;      // the errno of a read that failed (not ENOBUFS, which is recovered from)
};

// Walks len bytes of link records (buf 4-byte aligned), printing a line for
// each RTM_NEWLINK record when print is set. Nothing is news once an
// NLMSG_ERROR record came.
LinkNews walkLinkRecords(const void *buf, int len, bool print);

// Reads once from a subscribed socket (waiting for notifications) and
// walks what came. When notifications were lost (ENOBUFS, logged), the
// kernel is asked instead: usb0's carrier up now after it was last seen
// down is then both a carrier-up and a plug-in. Any other failed read is
// no news, with its errno in readError.
LinkNews readLinkNotifications(int fd, bool print);

// usb0's carrier as the last record for it, or the kernel when asked,
// showed it: true when up.
bool usb0CarrierSeenUp();

// Asks the kernel for usb0's carrier after notifications were lost: true
// when it is up now and was last seen down, i.e. the cable may have come.
bool usb0PluggedInUnseen();
