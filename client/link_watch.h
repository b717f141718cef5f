// The watch on the kernel's link notifications (rtnetlink).
#pragma once

#include <ev.h>

// One read of notifications takes at most this much.
constexpr int kNetlinkReadMax = 20480;

// Opens a NETLINK_ROUTE socket subscribed to link notifications; -1 when no
// socket could be made.
int createNetlinkSock();

void onNetlinkSock_cb(struct ev_loop *loop, ev_io *watcher, int revents);

// Walks len bytes of link records (buf 4-byte aligned), printing a line for
// each RTM_NEWLINK record. True when usb0 reported its carrier up and no
// NLMSG_ERROR record came: the deployment must restart.
bool walkLinkRecords(const void *buf, int len);
