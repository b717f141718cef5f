// A stand-in for systemd on its private socket, for the cable watch's tests
// and the bench: a child process that listens on a unix socket and serves
// one sd-bus connection at a time as systemd would (no D-Bus daemon between).
// It answers StartUnit and StopUnit with a job, whose JobRemoved follows,
// and GetAll of robot-client.service's Unit and Service interfaces; it
// signals PropertiesChanged for that unit at each change. A StartUnit of
// the target starts the client (a new process, reported "started PID")
// unless it runs already or its unit file is not enabled; with a fault the
// stand-in behaves as a real systemd sometimes does.
#pragma once

#include <string>
#include <sys/types.h>

namespace testsupport {

class SystemdPeer {
  public:
    // Listens on path (made afresh) before it returns.
    explicit SystemdPeer(const std::string &path);
    ~SystemdPeer();
    SystemdPeer(const SystemdPeer &) = delete;
    SystemdPeer &operator=(const SystemdPeer &) = delete;

    // One command, as serve takes them:
    //   client ACTIVE SUB PID [CODE STATUS]  the client unit's state (ExecMainCode
    //                                         CLD_EXITED unless given), signalled
    //   file enabled|disabled|masked          its unit file (masked: LoadState too)
    //   fault NAME                            the next one of these:
    //     slow      the next answer comes 3 s late
    //     lose      the next StartUnit closes the connection unanswered
    //     failed, canceled   the next start job ends so, starting nothing
    //     shutdown  every StartUnit from now is refused: the transaction is
    //               destructive (a shutdown is queued)
    //     pending   the client's start job is still pending at the target's
    //               JobRemoved; it runs at "go"
    //     straddle  as pending, but it runs right after the next GetAll
    //               of the Unit interface, before the Service's
    //     readfail  the next GetAll of the Unit interface that finds the
    //               client's start job pending fails
    //   go                                    the pending client job runs
    //   drop                                  closes the connection (daemon-reexec)
    void command(const std::string &line);
    // What the stand-in reported since the last sync ("connected", "StartUnit
    // <unit> <mode>", "StopUnit ...", "started PID"), once it has acted on
    // every command and message it was sent; "" after 10 s without an answer.
    std::string sync();

    // Serves on listenFd in this process until commandFd ends, taking the
    // commands above and "sync" one a line. stamped (the bench's stand-in,
    // rc-systemd-peer): each report line starts with its CLOCK_MONOTONIC
    // seconds, and each signal sent is reported too ("signal JobRemoved").
    [[noreturn]] static void serve(int listenFd, int commandFd, int reportFd, bool stamped = false);

  private:
    pid_t pid_ = -1;
    int fd_ = -1; // commands out, reports in
};

} // namespace testsupport
