// A link watch socket that the kernel refuses to subscribe. This binary's
// own bind() stands in for the C library's, for every caller in it, and
// refuses; no other test is linked with it.
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "client/cable_watch.h"
#include "client/link_watch.h"
#include "tests/support/capture.h"

using namespace testsupport;

extern "C" int bind(int /*fd*/, const sockaddr * /*addr*/, socklen_t /*len*/)
{
    errno = EPERM;
    return -1;
}

namespace {
// The lowest free descriptor: the next one a socket would get.
int nextFd()
{
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(fd);
    return fd;
}
} // namespace

// Not subscribed, the socket would hear nothing: it is closed and the
// caller gets none, with the kernel's reason in errno.
TEST(LinkWatchBind, ARefusedBindGivesNoSocketAndLeavesNoneOpen)
{
    const int before = nextFd();
    errno = 0;
    EXPECT_EQ(subscribeLinkNotifications(), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(nextFd(), before);
}

// The cable watch then logs why and does not start (its unit restarts it).
TEST(LinkWatchBind, TheCableWatchSaysWhyItHasNoSocket)
{
    const OutputCapture out;
    EXPECT_EQ(cableWatchStart(), -1);
    EXPECT_EQ(plain(out.text()), "ERR: no netlink socket: Operation not permitted\n");
}
