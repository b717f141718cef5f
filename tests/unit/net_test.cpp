#include <climits>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <unistd.h>

#include "net/net.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"

using namespace testsupport;

// An accepting peer gives a non-blocking socket (the port is used modulo
// 65536); a refusal gives -1 at once, a peer that never answers -1 after the
// 6 s limit; each failure logs its ERR line and leaves no descriptor open.
TEST(TcpConnect, AcceptedRefusedOrTimedOut)
{
    const int server = TCP_SocketCreate();
    ASSERT_EQ(SocketBindAddress(server, "127.0.0.1", 0), 0);
    listen(server, 4);
    const int port = SocketGetLocalPort(server);
    // vt0's peer end stays down, so the SYNs sent to 192.0.2.2 are dropped.
    ASSERT_EQ(sh("ip link add vt0 index 50 type veth peer name vt1 index 51 && ip link set vt0 up && "
                 "ip addr add 192.0.2.1/24 dev vt0 && "
                 "ip neigh add 192.0.2.2 lladdr 02:00:00:00:00:02 dev vt0 nud permanent"),
              0);
    OutputCapture out;
    const int fd = tcpConnect("127.0.0.1", port + 65536);
    ASSERT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    close(fd), close(server);
    const int fds = openFdCount();
    EXPECT_EQ(tcpConnect("127.0.0.1", port), -1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tcpConnect("192.0.2.2", 7901), -1);
    EXPECT_GE(secondsSince(start), 5.5);
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_EQ(plain(out.text()),
              "NOTICE: connect succeed.\nERR: connect error :Connection refused\nERR: connect time out\n");
}

// Bind and UDP: TCP sockets are made non-blocking; a datagram sent by address
// text arrives from the sender's port, a text that does not parse sends nothing; a taken port fails the bind,
// closes the socket and logs the port argument in full; SocketClose clears the
// variable once; a socket option that cannot be set ends the process with status 0.
TEST(SocketHelpers, BindUdpAndClose)
{
    OutputCapture out, err(2);
    int rx = UDP_SocketCreate();
    const int tx = UDP_SocketCreate(), server = TCP_SocketCreate(), other = TCP_SocketCreate();
    ASSERT_EQ(SocketBindAddress(rx, "127.0.0.1", 0) + SocketBind(tx, 0) + SocketBind(server, 0), 0);
    listen(server, 1);
    const int port = SocketGetLocalPort(server);
    EXPECT_NE(fcntl(server, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(SocketBindAddress(other, "127.0.0.1", port + 65536), -1);
    EXPECT_EQ(fcntl(other, F_GETFD), -1);
    EXPECT_EQ(UDP_SendtoIP(tx, "hello", 5, "127.0.0.1", SocketGetLocalPort(rx)), 5);
    EXPECT_EQ(UDP_SendtoIP(tx, "x", 1, "127.0.0.256", SocketGetLocalPort(rx)), -1);
    char buf[16] = {};
    sockaddr_in from{};
    EXPECT_EQ(UDP_Recvfrom(rx, buf, sizeof(buf), reinterpret_cast<sockaddr *>(&from)), 5);
    EXPECT_EQ(std::string(buf) + " " + SocketAddrToIp(&from), "hello 127.0.0.1");
    EXPECT_EQ(SocketAddrToPort(&from), SocketGetLocalPort(tx));
    SocketClose(&rx), SocketClose(&rx);
    EXPECT_EQ(rx, -1);
    EXPECT_EQ(std::pair(SocketGetLocalPort(-1), SocketGetLocalPort(STDOUT_FILENO)), std::pair(0, -1));
    EXPECT_EQ(plain(out.text()), "NOTICE: bind Address Port:0 Succeed!\nNOTICE: bind Port:0 Succeed!\n"
                                 "NOTICE: bind Port:0 Succeed!\nERR: Bind socket port:" +
                                     std::to_string(port + 65536) + " failed\nClose Socket this is -1\n");
    EXPECT_TRUE(err.text().starts_with("\nBind socket port: Address already in use\ninet_aton Failed: "))
        << err.text();
    EXPECT_EXIT(SocketBind(open("/dev/null", O_RDONLY), 7901), testing::ExitedWithCode(0),
                "setsockopt SO_REUSEADDR failed");
    close(tx), close(server);
}

// Multicast: a join that keeps failing is tried twice, 0.5 s apart, and closes
// the socket; a negative descriptor is refused at once. SocketGetIfAddr reads
// lo's address with result 1; a missing interface or a 16-character name gives
// -1, leaves out alone and leaks nothing. Random numbers stay in [min, max)
// and spread over the whole int range.
TEST(SocketHelpers, MulticastAddressAndRandom)
{
    OutputCapture out, err(2);
    const int fds = openFdCount();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SocketMultiaddrRegister(UDP_SocketCreate(), "127.0.0.1", 0), -1); // not a group address
    EXPECT_GE(secondsSince(start), 0.5);
    EXPECT_EQ(SocketMultiaddrRegister(-1, "224.0.0.1", 0), -1);
    char buf[16] = "untouched";
    EXPECT_EQ(SocketGetIfAddr(buf, "nosuchif0") + SocketGetIfAddr(buf, "lo_with_16_chars"), -2);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_EQ(SocketGetIfAddr(buf, "lo"), 1);
    EXPECT_STREQ(buf, "127.0.0.1");
    EXPECT_EQ(plain(out.text()),
              "NOTICE: Socket Multiaddr Register\nERR: sockfd is -1\nGet Local IP:127.0.0.1\n");
    EXPECT_TRUE(err.text().starts_with("Socket Multiaddr Register: ") &&
                err.text().ends_with("\nioctl get local address: No such device\n"))
        << err.text();

    EXPECT_EQ(RandomInRange(5, 5) + RandomInRange(7, 3), 0);
    std::set<int> narrow, wide;
    for (int i = 0; i < 200; ++i, usleep(10)) { // a new seed for every call
        narrow.insert(RandomInRange(-1, 1));
        wide.insert(RandomInRange(INT_MIN, INT_MAX));
    }
    EXPECT_EQ(narrow, (std::set<int>{-1, 0}));
    EXPECT_GT(wide.size(), 100u);
}
