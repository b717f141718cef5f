// IPv4 socket helpers. The client itself uses only tcpConnect.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

#include "log/log.h"

// Every line this library logs names "net" as its source.
#define NET_LOG(level, ...) logPrint("net", __func__, __LINE__, (level), __VA_ARGS__)

// How long tcpConnect waits for the peer.
constexpr int kConnectTimeoutMs = 6000;
// Pause between the two multicast join attempts.
constexpr unsigned kMulticastRetryUs = 500000;

// Non-blocking connect with a 6 s limit: a connected non-blocking socket, or
// -1 with errno saying why (ETIMEDOUT: no answer within the limit). With a
// device, the connection leaves by that interface alone (SO_BINDTODEVICE),
// whatever the routes say: none of that name fails it (ENODEV); a kernel
// that refuses the bind to a process without CAP_NET_RAW (EPERM, before
// Linux 5.7) gets the connection unbound, with one WARN line per process.
int tcpConnect(const char *ip, int port, const char *device = nullptr);
// Adds O_NONBLOCK: 0, or -1 on a negative descriptor or a failed fcntl.
int setNonblocking(int fd);

void SocketSetNonblock(int fd);
int UDP_SocketCreate();
int TCP_SocketCreate();
void SocketClose(int *fd);
int SocketMultiaddrRegister(int fd, const char *group, uint32_t iface);
int SocketGetIfAddr(char *out, const char *ifname);
int SocketBind(int fd, int port);
int SocketBindAddress(int fd, const char *ip, int port);
int SocketGetLocalPort(int fd);
int RandomInRange(int min, int max);
int SocketConnect(int fd, const char *ip, int port);
int UDP_SendtoIP(int fd, const void *buf, unsigned int len, const char *ip, int port);
int UDP_SendtoSocketAddr(int fd, const void *buf, unsigned int len, const struct sockaddr *addr);
int UDP_Recvfrom(int fd, void *buf, unsigned int len, struct sockaddr *from);
char *SocketAddrToIp(const struct sockaddr_in *addr);
uint16_t SocketAddrToPort(const struct sockaddr_in *addr);
