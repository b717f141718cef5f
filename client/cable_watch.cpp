#include "client/cable_watch.h"

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/un.h>

#include "client/link_query.h"
#include "client/link_watch.h"
#include "client/shell.h"
#include "log/log.h"
#include "net/fd_guard.h"

// Every line the watch logs names "cableWatch" as its source.
#define CABLE_LOG(level, ...) logPrint("cableWatch", __func__, __LINE__, (level), __VA_ARGS__)

namespace {

// Tells the service manager (Type=notify) that the watch is ready and how
// things stand, for `systemctl status`; nothing without NOTIFY_SOCKET.
void notifyStatus(const char *status)
{
    const char *path = getenv("NOTIFY_SOCKET");
    sockaddr_un addr{};
    if (path == nullptr || (path[0] != '/' && path[0] != '@') || strlen(path) >= sizeof(addr.sun_path))
        return;
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, strlen(path));
    if (addr.sun_path[0] == '@') // an abstract socket
        addr.sun_path[0] = '\0';
    std::array<char, 160> message{};
    snprintf(message.data(), message.size(), "READY=1\nSTATUS=%s", status);
    const FdGuard fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sendto(fd.get(), message.data(), strlen(message.data()), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr *>(&addr),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strlen(path)));
}

// Starts or stops kPluggedTarget without waiting for the jobs.
void systemctl(const char *verb)
{
    std::array<char, 96> cmd{};
    snprintf(cmd.data(), cmd.size(), "systemctl %s --no-block %s", verb, kPluggedTarget);
    const int status = runShell(cmd.data());
    if (status != 0)
        CABLE_LOG(kLevelErr, "%s failed with exit status %d\n", cmd.data(), shellExitStatus(status));
}

void pluggedIn()
{
    CABLE_LOG(kLevelNotice, "usb0 carrier up: the cable is in; starting %s\n", kPluggedTarget);
    systemctl("start");
    std::array<char, 96> status{};
    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    strftime(status.data(), status.size(), "cable in since %H:%M:%S: robot-client.service started", &local);
    notifyStatus(status.data());
}

void unplugged()
{
    CABLE_LOG(kLevelNotice, "usb0 carrier down: waiting for the cable\n");
    systemctl("stop");
    notifyStatus("waiting for the cable (usb0 carrier down)");
}

} // namespace

int cableWatchStart()
{
    const int fd = subscribeLinkNotifications();
    if (fd < 0) {
        CABLE_LOG(kLevelErr, "no netlink socket: %s\n", strerror(errno));
        return -1;
    }
    if (const int err = setUsb0Up(); err != 0)
        CABLE_LOG(kLevelErr, "cannot set usb0 up: %s\n", strerror(-err));
    // Setting it up may have brought the carrier with it.
    if (usb0PluggedInUnseen() || usb0CarrierSeenUp())
        pluggedIn();
    else
        unplugged();
    return fd;
}

void cableWatchRead(int fd)
{
    const bool wasUp = usb0CarrierSeenUp();
    const bool plugIn = readLinkNotifications(fd, false).pluggedIn;
    // A quick unplug and plug-in may come in one read, or both ways.
    if (plugIn)
        pluggedIn();
    if (!usb0CarrierSeenUp() && (wasUp || plugIn))
        unplugged();
}
