// Link notifications built byte by byte, as the kernel lays them out.
#pragma once

#include <cstdint>
#include <linux/if.h>
#include <linux/rtnetlink.h>
#include <string>

// An object's bytes as they lie in memory.
inline std::string raw(const auto &v)
{
    return {reinterpret_cast<const char *>(&v), sizeof(v)};
}

// One attribute, padded.
inline std::string attr(uint16_t type, const std::string &data)
{
    std::string out = raw(rtattr{static_cast<uint16_t>(RTA_LENGTH(data.size())), type}) + data;
    out.resize(RTA_ALIGN(out.size()), '\0');
    return out;
}

constexpr unsigned kUp = IFF_UP | IFF_LOWER_UP;

// One record with its attributes.
inline std::string record(uint16_t type, int index, unsigned flags = kUp, const std::string &attrs = "")
{
    const auto len = static_cast<uint32_t>(NLMSG_LENGTH(sizeof(ifinfomsg)) + attrs.size());
    return raw(nlmsghdr{len, type, 0, 0, 0}) + raw(ifinfomsg{0, 0, 0, index, flags, 0}) + attrs;
}

// A link notification as the kernel sends it: other attributes before the name.
inline std::string newLink(int index, const std::string &name, unsigned flags = kUp)
{
    return record(RTM_NEWLINK, index, flags, attr(IFLA_MTU, "\xdc\x05") + attr(IFLA_IFNAME, name + '\0'));
}
const std::string kUsb0Up = newLink(40, "usb0");
