// The non-blocking connect the client uses, and the other socket helpers' promises.
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

#include "net/net.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"

using namespace testsupport;

// A refused connect is a failure, logged as one, and leaks nothing.
TEST(TcpConnect, ARefusalFailsAndLeaksNothing)
{
    const auto openFds = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const OutputCapture out;
    const auto fds = openFds();
    EXPECT_EQ(tcpConnect("127.0.0.1", 1), -1); // nothing listens in the test's namespace
    EXPECT_EQ(plain(out.text()), "ERR: connect error :Connection refused\n");
    EXPECT_EQ(openFds(), fds);
}

// The helpers the client does not call keep their interface: UDP between
// two bound sockets, the multicast join's failure, the interface address, the range.
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
