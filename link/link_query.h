// Requests to the kernel about usb0's link, each on a netlink socket of its
// own, answered before they return.
#pragma once

// The board's end of the USB network link to the manager.
constexpr const char *kUsbIfName = "usb0";
// One read of link notifications takes at most this much.
constexpr int kNetlinkReadMax = 20480;

#include <cstdint>
#include <linux/netlink.h>

// usb0's link as the kernel tells it.
struct Usb0Link {
    // Its interface index: a new usb0 (a USB network adapter plugged in, the
    // gadget made again) has a new one. -1 when there is no usb0.
    int ifindex = -1;
    // Its carrier (never up while usb0 is administratively down: the carrier
    // shows only on an interface that is up).
    bool carrierUp = false;
    // The kernel's count of its carrier-ups since usb0 was made
    // (IFLA_CARRIER_UP_COUNT; IFLA_CARRIER_CHANGES, ups and downs, on kernels
    // before 4.16): each plug-in has a number of its own, the same in every
    // process that reads it.
    uint32_t carrierUpCount = 0;
};

// usb0's link now (ifindex -1 when the kernel gives no answer: no usb0).
Usb0Link queryUsb0Link();

// The carrier-up count that a link record (RTM_NEWLINK) carries; 0 without one.
uint32_t carrierUpCountOf(const nlmsghdr *record);

// Sets usb0 administratively up, as `ip link set usb0 up` does (needs
// CAP_NET_ADMIN): 0, or the negative errno of the kernel's refusal.
int setUsb0Up();
