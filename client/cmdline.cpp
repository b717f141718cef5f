#include "client/cmdline.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char *kUsage = "Usage: robot-client [--help | --version]\n"
                               "\n"
                               "Hands the robot's application over to the manager at 10.10.10.2 on the USB\n"
                               "network link: keeps usb0 up at 10.10.10.1, copies /robot/app and /robot/AI\n"
                               "to the manager with scp and has the manager run them. It takes no arguments\n"
                               "and reads no configuration; run without arguments, it is the daemon.\n"
                               "\n"
                               "The log goes to standard output (under systemd, to the journal:\n"
                               "journalctl -u robot-client). The daemon runs as the systemd unit\n"
                               "robot-client.service; only one instance runs at a time\n"
                               "(/run/robot-client/lock). See\n"
                               "/usr/share/doc/robot-client/operator-guide.md.\n"
                               "\n"
                               "  --help     print this text and exit\n"
                               "  --version  print the version and exit\n";

} // namespace

int handleCmdline(int argc, char *const argv[])
{
    if (argc <= 1)
        return -1;
    const bool help = strcmp(argv[1], "--help") == 0;
    const bool version = strcmp(argv[1], "--version") == 0;
    if (argc == 2 && help) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && version) {
        printf("robot-client %s\n", RC_VERSION);
        return 0;
    }
    // Name the first argument that is wrong: after --help or --version, the next.
    const char *unexpected = help || version ? argv[2] : argv[1];
    fprintf(stderr, "robot-client: unexpected argument '%s'\n\n%s", unexpected, kUsage);
    return kExitUsage;
}
