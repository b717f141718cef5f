// Building an IPv4 socket address, as every routine of the library does it.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>

// Only the low 16 bits of the port are used; inet_addr does no checking, so
// a text that does not parse gives 255.255.255.255.
inline sockaddr_in ipv4Addr(in_addr_t addr, int port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = addr;
    return sa;
}

inline sockaddr_in ipv4Addr(const char *ip, int port)
{
    return ipv4Addr(inet_addr(ip), port);
}

inline const sockaddr *asSockaddr(const sockaddr_in &sa)
{
    return reinterpret_cast<const sockaddr *>(&sa);
}
