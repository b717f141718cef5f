#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "log/log.h"
#include "net/fd_guard.h"
#include "net/ipv4_addr.h"
#include "net/net.h"

namespace {

constexpr socklen_t kAddrLen = sizeof(sockaddr_in);

// Sets SO_REUSEADDR and binds; shared by the two bind routines, which differ
// only in the address and the success line.
int bindTo(int fd, const sockaddr_in &local, int port, const char *successFormat)
{
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) < 0) {
        perror("setsockopt SO_REUSEADDR failed");
        close(fd);
        exit(0);
    }
    if (bind(fd, asSockaddr(local), kAddrLen) == -1) {
        const int err = errno;
        close(fd);
        errno = err;
        perror("\nBind socket port");
        NET_LOG(kLevelErr, "Bind socket port:%d failed\n", port);
        return -1;
    }
    NET_LOG(kLevelNotice, successFormat, port);
    return 0;
}

} // namespace

void SocketSetNonblock(int fd)
{
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int UDP_SocketCreate()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        perror("\nSOCK_DGRAM socket create failed!!!\n");
    return fd;
}

int TCP_SocketCreate()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        perror("\nSOCK_DGRAM socket create failed!!!\n");
    SocketSetNonblock(fd);
    return fd;
}

void SocketClose(int *fd)
{
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    } else {
        printf("Close Socket this is %d\n", *fd);
    }
}

int SocketMultiaddrRegister(int fd, const char *group, uint32_t iface)
{
    ip_mreq request{};
    request.imr_multiaddr.s_addr = inet_addr(group);
    request.imr_interface.s_addr = htonl(iface);
    if (fd < 0) {
        NET_LOG(kLevelErr, "sockfd is -1\n");
        return -1;
    }
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request)) == 0)
        return 0;
    usleep(kMulticastRetryUs);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request)) == 0)
        return 0;
    perror("Socket Multiaddr Register");
    close(fd);
    NET_LOG(kLevelNotice, "Socket Multiaddr Register\n");
    return -1;
}

int SocketGetIfAddr(char *out, const char *ifname)
{
    // The kernel's name field holds 15 characters and a NUL; a longer name
    // would name another interface, so it is refused.
    if (out == nullptr || ifname == nullptr || strnlen(ifname, IFNAMSIZ) >= IFNAMSIZ)
        return -1;
    ifreq request{};
    memcpy(request.ifr_name, ifname, strlen(ifname));

    FdGuard sock(UDP_SocketCreate());
    if (sock.get() < 0)
        return -1;
    if (ioctl(sock.get(), SIOCGIFADDR, &request) < 0) {
        perror("\nioctl get local address");
        return -1;
    }
    sockaddr_in addr{};
    memcpy(&addr, &request.ifr_addr, sizeof(addr));
    const char *text = inet_ntoa(addr.sin_addr);
    printf("Get Local IP:%s\n", text);
    strcpy(out, text); // at most 15 characters and the NUL
    return 1;
}

int SocketBind(int fd, int port)
{
    return bindTo(fd, ipv4Addr(htonl(INADDR_ANY), port), port, "bind Port:%d Succeed!\n");
}

int SocketBindAddress(int fd, const char *ip, int port)
{
    return bindTo(fd, ipv4Addr(ip, port), port, "bind Address Port:%d Succeed!\n");
}

int SocketGetLocalPort(int fd)
{
    if (fd == -1)
        return 0;
    sockaddr_in local{};
    socklen_t len = kAddrLen;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) < 0 || len < kAddrLen ||
        local.sin_family != AF_INET)
        return -1;
    return ntohs(local.sin_port);
}

int RandomInRange(int min, int max)
{
    if (max <= min)
        return 0;
    timeval now{};
    gettimeofday(&now, nullptr);
    srand(static_cast<unsigned>(now.tv_usec));
    // The span of two ints may not fit in an int.
    const long long span = static_cast<long long>(max) - min;
    return static_cast<int>(min + rand() % span);
}

int SocketConnect(int fd, const char *ip, int port)
{
    const sockaddr_in peer = ipv4Addr(ip, port);
    if (connect(fd, asSockaddr(peer), kAddrLen) == -1) {
        perror("connect");
        return -1;
    }
    return 1;
}

int UDP_SendtoIP(int fd, const void *buf, unsigned int len, const char *ip, int port)
{
    in_addr parsed{};
    if (inet_aton(ip, &parsed) == 0) {
        perror("inet_aton Failed");
        return -1;
    }
    const sockaddr_in peer = ipv4Addr(parsed.s_addr, port);
    const auto sent = static_cast<int>(sendto(fd, buf, len, 0, asSockaddr(peer), kAddrLen));
    if (sent < 0) {
        const int err = errno;
        NET_LOG(kLevelErr, "UDP_SendtoIP(%s:%d) error!!!\n", ip, port);
        errno = err;
        perror("sendto");
    }
    return sent;
}

int UDP_SendtoSocketAddr(int fd, const void *buf, unsigned int len, const struct sockaddr *addr)
{
    const auto sent = static_cast<int>(sendto(fd, buf, len, 0, addr, kAddrLen));
    if (sent < 0) {
        perror("sendto");
        NET_LOG(kLevelErr, "UDP_SendtoSocketAddr error!!!\n");
    }
    return sent;
}

int UDP_Recvfrom(int fd, void *buf, unsigned int len, struct sockaddr *from)
{
    socklen_t fromLen = kAddrLen;
    return static_cast<int>(recvfrom(fd, buf, len, 0, from, &fromLen));
}

char *SocketAddrToIp(const struct sockaddr_in *addr)
{
    return inet_ntoa(addr->sin_addr);
}

uint16_t SocketAddrToPort(const struct sockaddr_in *addr)
{
    return ntohs(addr->sin_port);
}
