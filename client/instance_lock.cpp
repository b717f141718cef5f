#include "client/instance_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client/client_log.h"

namespace {

constexpr mode_t kLockDirMode = 0755;
constexpr mode_t kLockFileMode = 0644;

// The lock's descriptor, kept open until the process ends (-1 without one).
int s_lockFd = -1;

InstanceLock unavailable(const char *path, int err)
{
    CLIENT_LOG(kLevelWarn, "cannot take %s: %s; running without the single-instance lock\n", path,
               strerror(err));
    return InstanceLock::kUnavailable;
}

} // namespace

InstanceLock takeInstanceLock(const char *dir, const char *path)
{
    if (mkdir(dir, kLockDirMode) != 0 && errno != EEXIST)
        return unavailable(path, errno);
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, kLockFileMode);
    if (fd < 0)
        return unavailable(path, errno);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        close(fd);
        if (err != EWOULDBLOCK)
            return unavailable(path, err);
        CLIENT_LOG(kLevelErr, "another robot-client is running (%s is held)\n", path);
        return InstanceLock::kHeld;
    }
    s_lockFd = fd;
    return InstanceLock::kTaken;
}
