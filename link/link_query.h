// Requests to the kernel about usb0's link, each on a netlink socket of its
// own, answered before they return.
#pragma once

// The board's end of the USB network link to the manager.
constexpr const char *kUsbIfName = "usb0";
// One read of link notifications or answers takes at most this much.
constexpr int kNetlinkReadMax = 20480;

// usb0's carrier now: 1 up, 0 down (also while usb0 is administratively
// down: the carrier shows only on an interface that is up), -1 when the
// kernel gives no answer (no usb0).
int queryUsb0Carrier();

// Sets usb0 administratively up, as `ip link set usb0 up` does (needs
// CAP_NET_ADMIN): 0, or the negative errno of the kernel's refusal.
int setUsb0Up();

// usb0's interface index: a new usb0 (a USB network adapter plugged in, the
// gadget made again) has a new one. -1 when there is no usb0.
int queryUsb0Ifindex();
