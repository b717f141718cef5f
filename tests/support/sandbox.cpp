#include "tests/support/sandbox.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {
std::string g_dropCaches;

[[noreturn]] void fail(const char *what)
{
    perror(what);
    fprintf(stderr, "test sandbox unavailable (tests must run as root)\n");
    abort();
}
} // namespace

void enterSandbox()
{
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
        fail("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("mount private");
    std::string tmpl = "/tmp/rc-dropcaches-XXXXXX";
    const int fd = mkstemp(tmpl.data());
    if (fd < 0)
        fail("mkstemp");
    close(fd);
    g_dropCaches = tmpl;
    if (mount(g_dropCaches.c_str(), "/proc/sys/vm/drop_caches", nullptr, MS_BIND, nullptr) != 0)
        fail("bind drop_caches");
    // The bind lives only in this mount namespace; the file goes with the process.
    unlink(g_dropCaches.c_str());
    if (sh("ip link set lo up") != 0)
        fail("lo up");
}

const std::string &dropCachesFile()
{
    return g_dropCaches;
}

int sh(const std::string &cmd)
{
    fflush(stdout);
    const int status = system(cmd.c_str());
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

void makeUsbLink()
{
    // Different interface indexes on the two ends: with equal ones the
    // kernel was seen to merge a quick carrier down and up.
    sh("ip link add mgr0 index 40 type veth peer name usb0 index 41 && "
       "ip addr add 10.10.10.2/24 dev mgr0 && ip link set mgr0 up && ip link set usb0 up");
}

int openFdCount()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count - 3; // ".", ".." and the directory's own descriptor
}

std::string makeTempDir()
{
    std::string tmpl = "/tmp/rc-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
        return {};
    return tmpl;
}

} // namespace testsupport
