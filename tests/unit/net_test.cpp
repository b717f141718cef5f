#include <chrono>
#include <climits>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <unistd.h>

#include "net/net.h"
#include "tests/support/capture.h"
#include "tests/support/checks.h"
#include "tests/support/sandbox.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

// An accepting peer gives a non-blocking socket (the port is used modulo
// 65536); a refusal gives -1 and an ERR line, never "connect succeed.".
TEST(TcpConnect, AcceptedOrRefused)
{
    const int server = TCP_SocketCreate();
    ASSERT_EQ(SocketBindAddress(server, "127.0.0.1", 0), 0);
    listen(server, 4);
    const int port = SocketGetLocalPort(server);
    OutputCapture out;
    const int fd = tcpConnect("127.0.0.1", port + 65536);
    ASSERT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    close(fd);
    close(server);
    const int fds = openFdCount();
    EXPECT_EQ(tcpConnect("127.0.0.1", port), -1);
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_EQ(unstamped(out.text()),
              logLine(2, "connect succeed.\n") + logLine(0, "connect error :Connection refused\n"));
}

// A peer that never answers: the wait gives up after its 6 s limit.
TEST(TcpConnect, SilentPeerTimesOut)
{
    // vt0's peer end stays down, so the SYNs sent to 192.0.2.2 are dropped.
    ASSERT_EQ(sh("ip link add vt0 index 50 type veth peer name vt1 index 51 && ip link set vt0 up && "
                 "ip addr add 192.0.2.1/24 dev vt0 && "
                 "ip neigh add 192.0.2.2 lladdr 02:00:00:00:00:02 dev vt0 nud permanent"),
              0);
    OutputCapture out;
    const int fds = openFdCount();
    const auto start = Clock::now();
    EXPECT_EQ(tcpConnect("192.0.2.2", 7901), -1);
    EXPECT_GE(secondsSince(start), 5.5);
    EXPECT_EQ(unstamped(out.text()), logLine(0, "connect time out\n"));
    EXPECT_EQ(openFdCount(), fds);
}

// A taken port fails the bind and closes the socket; the port logged is the
// argument in full. The local port: 0 for -1, -1 for a non-socket.
TEST(SocketBind, FailureClosesTheSocket)
{
    OutputCapture out, err(2);
    const int fd = TCP_SocketCreate();
    ASSERT_EQ(SocketBind(fd, 0), 0);
    listen(fd, 1);
    const int port = SocketGetLocalPort(fd);
    const int other = TCP_SocketCreate();
    EXPECT_EQ(SocketBindAddress(other, "127.0.0.1", port + 65536), -1);
    EXPECT_EQ(fcntl(other, F_GETFD), -1);
    EXPECT_EQ(unstamped(out.text()),
              logLine(2, "bind Port:0 Succeed!\n") +
                  logLine(0, "Bind socket port:" + std::to_string(port + 65536) + " failed\n"));
    EXPECT_EQ(err.text(), "\nBind socket port: Address already in use\n");
    EXPECT_EQ(SocketGetLocalPort(-1), 0);
    EXPECT_EQ(SocketGetLocalPort(STDOUT_FILENO), -1); // the capture file
    close(fd);
}

TEST(SocketBindDeathTest, NonSocketEndsProcessWithStatusZero)
{
    EXPECT_EXIT(SocketBind(open("/dev/null", O_RDONLY), 7901), testing::ExitedWithCode(0),
                "setsockopt SO_REUSEADDR failed");
}

// A datagram sent by address text arrives from the sender's bound port; an
// address text that does not parse sends nothing. SocketClose clears the variable.
TEST(Udp, RoundTripAndUnparsableAddress)
{
    OutputCapture out, err(2);
    int rx = UDP_SocketCreate();
    int tx = UDP_SocketCreate();
    ASSERT_EQ(SocketBindAddress(rx, "127.0.0.1", 0), 0);
    ASSERT_EQ(SocketBind(tx, 0), 0);
    const int port = SocketGetLocalPort(rx);
    EXPECT_EQ(UDP_SendtoIP(tx, "hello", 5, "127.0.0.1", port), 5);
    char buf[16] = {};
    sockaddr_in from{};
    EXPECT_EQ(UDP_Recvfrom(rx, buf, sizeof(buf), reinterpret_cast<sockaddr *>(&from)), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_STREQ(SocketAddrToIp(&from), "127.0.0.1");
    EXPECT_EQ(SocketAddrToPort(&from), SocketGetLocalPort(tx));
    EXPECT_EQ(UDP_SendtoIP(tx, "x", 1, "127.0.0.256", port), -1);
    SocketSetNonblock(rx);
    EXPECT_EQ(UDP_Recvfrom(rx, buf, sizeof(buf), reinterpret_cast<sockaddr *>(&from)), -1);
    EXPECT_EQ(err.text().rfind("inet_aton Failed", 0), 0u) << err.text();
    SocketClose(&rx);
    EXPECT_EQ(rx, -1);
    SocketClose(&rx);
    EXPECT_EQ(unstamped(out.text()), logLine(2, "bind Address Port:0 Succeed!\n") +
                                         logLine(2, "bind Port:0 Succeed!\n") + "Close Socket this is -1\n");
    close(tx);
}

// A join that keeps failing is tried twice, 0.5 s apart, and the socket is
// closed; a negative descriptor is refused at once.
TEST(Multicast, FailedJoinClosesTheSocket)
{
    OutputCapture out, err(2);
    const int fds = openFdCount();
    const auto start = Clock::now();
    EXPECT_EQ(SocketMultiaddrRegister(UDP_SocketCreate(), "127.0.0.1", 0), -1); // not a group address
    EXPECT_GE(secondsSince(start), 0.5);
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_EQ(err.text().rfind("Socket Multiaddr Register: ", 0), 0u) << err.text();
    EXPECT_EQ(SocketMultiaddrRegister(-1, "224.0.0.1", 0), -1);
    EXPECT_EQ(unstamped(out.text()),
              logLine(2, "Socket Multiaddr Register\n") + logLine(0, "sockfd is -1\n"));
}

// Empty ranges give 0; results stay in [min, max), also across the whole int range.
TEST(RandomInRange, StaysInRange)
{
    EXPECT_EQ(RandomInRange(5, 5) + RandomInRange(7, 3), 0);
    std::set<int> wide;
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(RandomInRange(0, 1), 0);
        const int r = RandomInRange(-3, 4);
        EXPECT_TRUE(r >= -3 && r < 4) << r;
        wide.insert(RandomInRange(INT_MIN, INT_MAX));
        usleep(10); // a new seed for every call
    }
    EXPECT_EQ(wide.count(INT_MAX), 0u);
    EXPECT_GT(wide.size(), 100u);
}

// lo's address is read with result 1 and one plain line; a missing interface
// or a name of 16 characters gives -1, leaves out alone and closes its socket.
TEST(SocketGetIfAddr, ReadsAddressOrLeavesOutAlone)
{
    OutputCapture out, err(2);
    char buf[16] = "untouched";
    const int fds = openFdCount();
    EXPECT_EQ(SocketGetIfAddr(buf, "nosuchif0") + SocketGetIfAddr(buf, "lo_with_16_chars"), -2);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_EQ(err.text(), "\nioctl get local address: No such device\n");
    EXPECT_EQ(SocketGetIfAddr(buf, "lo"), 1);
    EXPECT_STREQ(buf, "127.0.0.1");
    EXPECT_EQ(out.text(), "Get Local IP:127.0.0.1\n");
}
