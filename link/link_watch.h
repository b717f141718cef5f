// usb0's link notifications (rtnetlink), read the same way by the client and
// the cable watch: what a plug-in is (usb0's carrier came up after it was
// last seen down), and the recovery after notifications were lost.
#pragma once

#include "link/link_query.h"

// Opens a NETLINK_ROUTE socket subscribed to link notifications and learns
// usb0's carrier from the kernel; -1 (errno set) when no socket could be
// made or subscribed.
int subscribeLinkNotifications();

// What one read of link notifications told about usb0.
struct LinkNews {
    // A record showed usb0's carrier up after it was last seen down (or
    // never seen, or usb0 gone): the cable came, the deployment restarts.
    // Other news of a usb0 whose carrier stays up (promiscuous mode, a new
    // MTU) is none.
    bool pluggedIn = false;
    // usb0's carrier-up count (link_query.h) at the last plug-in in the read.
    uint32_t carrierUpCount = 0;
    int readError = 0; // the errno of a read that failed (not ENOBUFS, which is recovered from)
    // After lost notifications, a flood outlasted the drain: the descriptor
    // now holds a socket subscribed afresh, which an event loop watching it
    // (epoll) must take up anew.
    bool resubscribed = false;
};

// Walks len bytes of link records (buf 4-byte aligned), printing a line for
// each RTM_NEWLINK record when print is set. An RTM_DELLINK for usb0 marks
// its carrier down, printing nothing. Nothing is news once an NLMSG_ERROR
// record came.
LinkNews walkLinkRecords(const void *buf, int len, bool print);

// Reads once from a subscribed socket (waiting for notifications) and
// walks what came. When notifications were lost (ENOBUFS, logged), what
// is still queued is walked first, for at most about 100 ms (a flood that
// lasts longer is dropped: the socket is subscribed afresh on the same
// descriptor), then the kernel is asked, so that no older record
// overwrites its answer: usb0's carrier up now after it was last seen down
// is a plug-in. Any other failed read is no news, with its errno in
// readError.
LinkNews readLinkNotifications(int fd, bool print);

// usb0's carrier as the last record for it, or the kernel when asked,
// showed it: true when up.
bool usb0CarrierSeenUp();

// usb0's carrier-up count as the last record for it, or the kernel when
// asked, showed it: the number of the last plug-in seen.
uint32_t usb0CarrierUpCount();

// Asks the kernel for usb0's carrier after notifications were lost: true
// when it is up now and was last seen down, i.e. the cable may have come.
bool usb0PluggedInUnseen();
