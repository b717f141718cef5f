// robot-client-cable: the cable watch that robot-client-cable.service runs.
// It takes no arguments and reads no configuration. It exits only when it
// cannot watch (no netlink socket, a socket that cannot be read), with
// status 1, which the unit's Restart=on-failure answers; systemd that cannot
// be reached is logged and told in the status, and ends nothing.

#include <csignal>
#include <cstdio>

#include "cable/cable_watch.h"
#include "log/log.h"

int main(int argc, char ** /*argv*/)
{
    if (argc > 1) {
        fputs("Usage: robot-client-cable (run by robot-client-cable.service; takes no arguments)\n", stderr);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    logSetup();
    // A log line written to a closed stream (the journal's, when journald
    // restarts) must fail, not end the watch: systemd counts an end by
    // SIGPIPE as a clean exit and would not start it again.
    signal(SIGPIPE, SIG_IGN);
    const int fd = cableWatchStart();
    if (fd < 0)
        return 1;
    return cableWatchRun(fd);
}
