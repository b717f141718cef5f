#include "link/link_query.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string_view>
#include <sys/socket.h>

#include "net/fd_guard.h"

namespace {

// The kernel's answer about one link: about 1.5 KiB for a USB network
// interface (no VF attributes are asked for); room for five.
constexpr size_t kAnswerMax = 8192;
using AnswerBuffer = std::array<char, kAnswerMax>;

// A link request that names usb0.
struct LinkRequest {
    nlmsghdr header;
    ifinfomsg info;
    rtattr nameAttr;
    std::array<char, IFNAMSIZ> name;
};

LinkRequest usb0Request(uint16_t type, uint16_t flags)
{
    LinkRequest request{};
    request.header.nlmsg_len = sizeof(request);
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | flags;
    request.nameAttr.rta_type = IFLA_IFNAME;
    request.nameAttr.rta_len = RTA_LENGTH(sizeof(request.name));
    std::string_view(kUsbIfName).copy(request.name.data(), request.name.size() - 1);
    return request;
}

// Sends the request and reads the kernel's answer into buf: the first
// record of it, or nullptr.
const nlmsghdr *ask(const LinkRequest &request, AnswerBuffer &buf)
{
    const FdGuard fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.get() < 0 || send(fd.get(), &request, sizeof(request), 0) < 0)
        return nullptr;
    // The kernel answers a route request before send returns.
    const auto len = static_cast<int>(recv(fd.get(), buf.data(), buf.size(), MSG_DONTWAIT));
    const auto *header = reinterpret_cast<const nlmsghdr *>(buf.data());
    return len >= static_cast<int>(sizeof(nlmsghdr)) && NLMSG_OK(header, static_cast<unsigned>(len))
               ? header
               : nullptr;
}

// usb0's link as the kernel tells it now, in buf, or nullptr.
const ifinfomsg *usb0Info(AnswerBuffer &buf)
{
    const nlmsghdr *answer = ask(usb0Request(RTM_GETLINK, 0), buf);
    if (answer == nullptr || answer->nlmsg_type != RTM_NEWLINK ||
        answer->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
        return nullptr;
    return static_cast<const ifinfomsg *>(NLMSG_DATA(answer));
}

} // namespace

Usb0Link queryUsb0Link()
{
    alignas(nlmsghdr) AnswerBuffer buf{};
    const ifinfomsg *info = usb0Info(buf);
    if (info == nullptr)
        return {};
    const auto *record = reinterpret_cast<const nlmsghdr *>(buf.data());
    return {info->ifi_index, (info->ifi_flags & IFF_LOWER_UP) != 0, carrierUpCountOf(record)};
}

uint32_t carrierUpCountOf(const nlmsghdr *record)
{
    uint32_t changes = 0;
    int attrLen = static_cast<int>(record->nlmsg_len) - static_cast<int>(NLMSG_LENGTH(sizeof(ifinfomsg)));
    const auto *info = static_cast<const ifinfomsg *>(NLMSG_DATA(record));
    for (const rtattr *attr = IFLA_RTA(info); RTA_OK(attr, attrLen); attr = RTA_NEXT(attr, attrLen)) {
        if (RTA_PAYLOAD(attr) < sizeof(uint32_t))
            continue;
        uint32_t value = 0;
        memcpy(&value, RTA_DATA(attr), sizeof(value));
        if (attr->rta_type == IFLA_CARRIER_UP_COUNT)
            return value;
        if (attr->rta_type == IFLA_CARRIER_CHANGES)
            changes = value;
    }
    return changes;
}

int setUsb0Up()
{
    LinkRequest request = usb0Request(RTM_NEWLINK, NLM_F_ACK);
    request.info.ifi_flags = IFF_UP;
    request.info.ifi_change = IFF_UP;
    alignas(nlmsghdr) AnswerBuffer buf{};
    const nlmsghdr *answer = ask(request, buf);
    if (answer == nullptr || answer->nlmsg_type != NLMSG_ERROR ||
        answer->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr)))
        return -EIO;
    return static_cast<const nlmsgerr *>(NLMSG_DATA(answer))->error;
}
