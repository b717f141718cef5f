// robot-client-cable: the cable watch that robot-client-cable.service runs.
// It takes no arguments and reads no configuration.

#include <cstdio>

#include "client/cable_watch.h"
#include "log/log.h"

int main(int argc, char ** /*argv*/)
{
    if (argc > 1) {
        fputs("Usage: robot-client-cable (run by robot-client-cable.service; takes no arguments)\n", stderr);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    logSetup();
    const int fd = cableWatchStart();
    if (fd < 0)
        return 1;
    for (;;)
        cableWatchRead(fd);
}
