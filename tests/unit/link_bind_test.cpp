// A link watch socket that the kernel refuses to subscribe. This binary's
// own bind() stands in for the C library's, for every caller in it, and
// refuses; no other test is linked with it.
#include <cerrno>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "client/cable_watch.h"
#include "tests/support/capture.h"

using namespace testsupport;

extern "C" int bind(int /*fd*/, const sockaddr * /*addr*/, socklen_t /*len*/)
{
    errno = EPERM;
    return -1;
}

// Not subscribed, the socket would hear nothing: the cable watch gets none,
// logs why and does not start (its unit restarts it).
TEST(LinkWatchBind, TheCableWatchSaysWhyItHasNoSocket)
{
    const OutputCapture out;
    EXPECT_EQ(cableWatchStart(), -1);
    EXPECT_EQ(plain(out.text()), "ERR: no netlink socket: Operation not permitted\n");
}
