// The non-blocking connect the client uses, and the other socket helpers' promises.
#include <gtest/gtest.h>
#include <unistd.h>

#include "net/net.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"

using namespace testsupport;

TEST(TcpConnect, ARefusalFailsWithItsErrLineAndLeaksNothing)
{
    // A port bound a moment ago and free again: nothing listens there.
    const int server = TCP_SocketCreate();
    SocketBindAddress(server, "127.0.0.1", 0);
    const int port = SocketGetLocalPort(server);
    close(server);
    OutputCapture out;
    const int fds = openFdCount();
    EXPECT_EQ(tcpConnect("127.0.0.1", port), -1);
    EXPECT_EQ(plain(out.text()), "ERR: connect error :Connection refused\n");
    EXPECT_EQ(openFdCount(), fds);
}

TEST(TcpConnect, ASilentPeerTimesOutAfterSixSeconds)
{
    // vt0's peer end stays down, so the SYNs sent to 192.0.2.2 are dropped.
    ASSERT_EQ(sh("ip link add vt0 index 50 type veth peer name vt1 index 51 && ip link set vt0 up && "
                 "ip addr add 192.0.2.1/24 dev vt0 && "
                 "ip neigh add 192.0.2.2 lladdr 02:00:00:00:00:02 dev vt0 nud permanent"),
              0);
    OutputCapture out;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tcpConnect("192.0.2.2", 7901), -1);
    EXPECT_GE(secondsSince(start), 5.5);
    EXPECT_EQ(plain(out.text()), "ERR: connect time out\n");
}

// The helpers the client does not use: each returns what its interface promises.
TEST(SocketHelpers, ReturnWhatTheirInterfacePromises)
{
    const int rx = UDP_SocketCreate(), tx = UDP_SocketCreate();
    EXPECT_EQ(SocketBindAddress(rx, "127.0.0.1", 0), 0);
    EXPECT_EQ(SocketBind(tx, 0), 0);
    EXPECT_EQ(UDP_SendtoIP(tx, "hello", 5, "127.0.0.1", SocketGetLocalPort(rx)), 5);
    char buf[16] = {};
    sockaddr_in from{};
    EXPECT_EQ(UDP_Recvfrom(rx, buf, sizeof(buf), reinterpret_cast<sockaddr *>(&from)), 5);
    EXPECT_EQ(SocketAddrToPort(&from), SocketGetLocalPort(tx));
    EXPECT_EQ(SocketMultiaddrRegister(-1, "224.0.0.1", 0), -1);
    EXPECT_EQ(SocketGetIfAddr(buf, "lo"), 1);
    EXPECT_STREQ(buf, "127.0.0.1");
    EXPECT_EQ(SocketGetIfAddr(buf, "nosuchif0"), -1);
    EXPECT_EQ(RandomInRange(7, 3), 0);
    close(rx), close(tx);
}
