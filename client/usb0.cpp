#include "client/usb0.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "client/client_log.h"
#include "client/shell.h"
#include "net/fd_guard.h"

namespace {

constexpr const char *kBringUpCmd = "ifconfig usb0 10.10.10.1 up";
constexpr long kPauseBeforeUs = 500000;
constexpr long kPauseAfterUs = 100000;

// Sleeps the whole time even if a signal interrupts it.
void sleepMicros(long micros)
{
    timespec left{micros / 1000000, (micros % 1000000) * 1000};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

} // namespace

int GetLocalIp(const char *ifname, char *out, int outlen)
{
    if (ifname == nullptr || out == nullptr || outlen < kIpTextMin)
        return -1;

    // The socket only carries the interface request.
    FdGuard sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0) {
        puts("create socket failed");
        return -1;
    }

    ifreq request{};
    strncpy(request.ifr_name, ifname, IFNAMSIZ - 1);
    if (ioctl(sock.get(), SIOCGIFADDR, &request) < 0)
        return errno == ENODEV ? 1 : -1;

    sockaddr_in addr{};
    memcpy(&addr, &request.ifr_addr, sizeof(addr));
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text));
    snprintf(out, static_cast<size_t>(outlen), "%s", text);
    CLIENT_LOG(kLevelNotice, "GetLocalIp ipaddr =%s \n", out);

    // The whole text must match: 10.10.10.15 is another host's address.
    return strcmp(text, kClientIp) == 0 ? 0 : -1;
}

void usb0Networkinit()
{
    CLIENT_LOG(kLevelDebug, "usb0 Networkinit...\n");
    sleepMicros(kPauseBeforeUs);
    runShell(kBringUpCmd);
    sleepMicros(kPauseAfterUs);
}
