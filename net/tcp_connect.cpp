#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include "log/log.h"
#include "net/fd_guard.h"
#include "net/ipv4_addr.h"
#include "net/net.h"

int setNonblocking(int fd)
{
    if (fd < 0)
        return -1;
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1)
        return -1;
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1)
        return -1;
    return 0;
}

namespace {

// The unbound connections' WARN is said once.
bool s_unboundTold = false;

// Binds sock to device: false (errno set) when the connection cannot go on.
bool bindToDevice(int sock, const char *device)
{
    if (setsockopt(sock, SOL_SOCKET, SO_BINDTODEVICE, device, static_cast<socklen_t>(strlen(device))) == 0)
        return true;
    const int err = errno;
    if (err != EPERM) {
        NET_LOG(kLevelErr, "connect error :%s\n", strerror(err));
        errno = err;
        return false;
    }
    if (!s_unboundTold) {
        s_unboundTold = true;
        NET_LOG(kLevelWarn, "this kernel lets only CAP_NET_RAW bind a connection to %s: connecting unbound\n",
                device);
    }
    return true;
}

} // namespace

int tcpConnect(const char *ip, int port, const char *device)
{
    // Close-on-exec: the shell commands the client runs must not hold the
    // manager connection open.
    FdGuard sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0)
        perror("\nSOCK_DGRAM socket create failed!!!\n");
    if (device != nullptr && sock.get() >= 0 && !bindToDevice(sock.get(), device))
        return -1;

    const sockaddr_in peer = ipv4Addr(ip, port);
    setNonblocking(sock.get());

    if (connect(sock.get(), asSockaddr(peer), sizeof(peer)) == 0) {
        NET_LOG(kLevelNotice, "connect succeed.\n");
        return sock.release();
    }
    if (errno != EINPROGRESS) {
        const int err = errno;
        NET_LOG(kLevelErr, "connect error :%s\n", strerror(err));
        errno = err;
        return -1;
    }

    // poll has no descriptor limit, unlike an fd_set.
    pollfd pfd{sock.get(), POLLIN | POLLOUT, 0};
    const int ready = poll(&pfd, 1, kConnectTimeoutMs);
    if (ready < 0) {
        const int err = errno;
        NET_LOG(kLevelErr, "network error in connect err %s \n", strerror(err));
        errno = err;
        return -1;
    }
    if (ready == 0) {
        NET_LOG(kLevelErr, "connect time out\n");
        errno = ETIMEDOUT;
        return -1;
    }

    // A refused or unreachable peer also wakes the wait; the socket's own
    // error tells the two apart.
    int err = 0;
    socklen_t errLen = sizeof(err);
    if (getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &err, &errLen) < 0)
        err = errno;
    if (err != 0) {
        NET_LOG(kLevelErr, "connect error :%s\n", strerror(err));
        errno = err;
        return -1;
    }
    if ((pfd.revents & POLLOUT) != 0) {
        NET_LOG(kLevelNotice, "connect succeed.\n");
        return sock.release();
    }
    NET_LOG(kLevelErr, "other error when select:%s\n", strerror(errno));
    return -1;
}
