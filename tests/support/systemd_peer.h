// A stand-in for systemd on its private socket, for the cable watch's tests
// and the bench: a child process that listens on a unix socket and serves
// one sd-bus connection at a time as systemd would (no D-Bus daemon between).
// It answers StartUnit and StopUnit (with a job, whose JobRemoved "done"
// follows) and Get for robot-client.service's properties, and signals
// PropertiesChanged for that unit when the test changes it.
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

    // Sets robot-client.service's state (ExecMainCode CLD_EXITED, or as
    // given: "active running 42 1 0") and signals the change.
    void client(const std::string &state) { command("client " + state); }
    // The client's state that the next StartUnit brings (before its JobRemoved).
    void onStart(const std::string &state) { command("onstart " + state); }
    // Closes the connection, as daemon-reexec does.
    void drop() { command("drop"); }
    // The next thing the peer was asked ("connected", "StartUnit <unit>
    // <mode>", "StopUnit ..."), waiting for it up to 10 s ("" then).
    std::string next();

    // Serves on listenFd in this process until commandFd ends: commands as
    // client/onStart/drop take them ("client STATE", "onstart STATE",
    // "drop"), one a line. stamped (the bench's stand-in, rc-systemd-peer):
    // each report line starts with its CLOCK_MONOTONIC seconds, and each
    // signal sent is reported too ("signal JobRemoved").
    [[noreturn]] static void serve(int listenFd, int commandFd, int reportFd, bool stamped = false);

  private:
    void command(const std::string &line);
    pid_t pid_ = -1;
    int fd_ = -1; // commands out, reports in
};

} // namespace testsupport
