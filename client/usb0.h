// The local end of the USB network link: its address check and bring-up.
#pragma once

#include "link/link_query.h"

constexpr const char *kClientIp = "10.10.10.1";
// A dotted quad of at most 15 characters and its NUL.
constexpr int kIpTextMin = 16;

// Reads ifname's IPv4 address into out (outlen >= 16): 0 when it is the
// client's address, -1 for another address or any failure, 1 when there is
// no such interface.
int GetLocalIp(const char *ifname, char *out, int outlen);

// Gives usb0 the client's address and brings it up; blocks for at least 0.6 s.
void usb0Networkinit();
