// rc-systemd-peer SOCKET: the stand-in for systemd (systemd_peer.h) as a
// program, for the bench's cable watch phase. It listens on SOCKET (made
// afresh), which the sandbox binds over /run/systemd/private, so the
// watch's own binary connects to it. It takes commands, one a line, on its
// standard input and ends when that ends; it writes what it was asked and
// the signals it sent to its standard output, each line stamped with the
// CLOCK_MONOTONIC seconds (the clock of the bench's timed commands):
//
//   12.345678 connected
//   12.346012 StartUnit robot-client-plugged.target replace
//   12.346102 signal JobRemoved

#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/support/systemd_peer.h"

int main(int argc, char **argv)
{
    if (argc != 2 || strlen(argv[1]) >= sizeof(sockaddr_un::sun_path)) {
        fputs("Usage: rc-systemd-peer SOCKET (commands on stdin, one a line: systemd_peer.h)\n", stderr);
        return 2;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, argv[1], sizeof(addr.sun_path) - 1);
    unlink(argv[1]);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(fd, 4) != 0) {
        perror("rc-systemd-peer");
        return 1;
    }
    testsupport::SystemdPeer::serve(fd, STDIN_FILENO, STDOUT_FILENO, true);
}
