#include "tests/support/sandbox.h"

#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

namespace testsupport {

void enterSandbox()
{
    // Nothing runs in a shell before the namespaces are the test's own. The
    // file bound over drop_caches lives as long as this mount namespace; the
    // one an earlier test of this process bound is let go first. A build
    // under /run (a checkout there) is bound back over the fresh /run.
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        sh("{ umount /proc/sys/vm/drop_caches 2>/dev/null; f=$(mktemp /tmp/rc-dropcaches-XXXXXX); } && "
           "mount --bind $f /proc/sys/vm/drop_caches && rm $f && exec 3</run && mount -t tmpfs rc-run /run "
           "&& "
           "b='" RC_BUILD_DIR "' && case $b in /run/*) mkdir -p \"$b\" && "
           "mount -c --bind \"/proc/self/fd/3/${b#/run/}\" \"$b\";; esac && ip link set lo up") != 0) {
        perror("test sandbox unavailable (tests must run as root)");
        abort();
    }
}

int sh(const std::string &cmd)
{
    fflush(stdout);
    const int status = system(cmd.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void makeUsbLink(const std::string &clientAddr)
{
    // Different interface indexes on the two ends: with equal ones the
    // kernel was seen to merge a quick carrier down and up.
    sh("ip link add usb0 index 40 type veth peer name mgr0 index 41 && "
       "ip addr add 10.10.10.2/24 dev mgr0 && ip link set mgr0 up && ip link set usb0 up" +
       (clientAddr.empty() ? "" : " && ip addr add " + clientAddr + "/24 dev usb0"));
}

} // namespace testsupport
