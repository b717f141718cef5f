#include "fuzz/fuzz_sandbox.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fuzzsupport {

namespace {

constexpr const char *kDropCaches = "/proc/sys/vm/drop_caches";

[[noreturn]] void fail(const char *what)
{
    perror(what);
    fprintf(stderr, "fuzz sandbox unavailable (the fuzzers must run as root)\n");
    abort();
}

} // namespace

void enterSandbox()
{
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        fail("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("mount private");

    char path[] = "/tmp/rc-fuzz-dropcaches-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        fail("mkstemp");
    struct stat own {};
    if (fstat(fd, &own) != 0)
        fail("fstat");
    close(fd);
    if (mount(path, kDropCaches, nullptr, MS_BIND, nullptr) != 0)
        fail("bind drop_caches");
    // The bind lives only in this namespace; the file goes with the process.
    unlink(path);

    // Refuse to go on unless the path now leads to our own file.
    struct stat seen {};
    if (stat(kDropCaches, &seen) != 0 || seen.st_dev != own.st_dev || seen.st_ino != own.st_ino)
        fail("drop_caches still the host's");

    // The code under test logs every message; libFuzzer reports on stderr.
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0)
        fail("stdout to /dev/null");
    close(null);
}

} // namespace fuzzsupport
