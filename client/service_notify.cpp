#include "client/service_notify.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

#include "net/fd_guard.h"

namespace {

// A status text and its "STATUS=": one datagram, never cut into two.
constexpr size_t kMessageMax = 512;

} // namespace

void notifyStatus(const char *text)
{
    const char *name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@') || name[1] == '\0')
        return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t len = strnlen(name, sizeof(addr.sun_path) + 1);
    if (len > sizeof(addr.sun_path))
        return;
    memcpy(addr.sun_path, name, len);
    // An abstract name has no NUL at its end; its length alone bounds it.
    socklen_t addrLen = offsetof(sockaddr_un, sun_path) + len;
    if (name[0] == '@')
        addr.sun_path[0] = '\0';
    else
        addrLen += 1;

    std::array<char, kMessageMax> message{};
    const int count = snprintf(message.data(), message.size(), "STATUS=%s", text);
    if (count < 0)
        return;
    const FdGuard fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return;
    sendto(fd.get(), message.data(), std::min(static_cast<size_t>(count), message.size() - 1), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr *>(&addr), addrLen);
}
