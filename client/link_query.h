// Requests to the kernel about usb0's link, each on a netlink socket of its
// own, answered before they return.
#pragma once

// usb0's carrier now: 1 up, 0 down (also while usb0 is administratively
// down: the carrier shows only on an interface that is up), -1 when the
// kernel gives no answer (no usb0).
int queryUsb0Carrier();

// Sets usb0 administratively up, as `ip link set usb0 up` does (needs
// CAP_NET_ADMIN): 0, or the negative errno of the kernel's refusal.
int setUsb0Up();

// Whether usb0 carries the client's address (kClientIp), which the client
// gives it when it brings the link up: true once a client has run on this
// usb0. Asked over netlink too (getifaddrs), no IP socket needed.
bool usb0HasClientAddress();
