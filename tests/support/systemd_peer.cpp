#include "tests/support/systemd_peer.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace testsupport {
namespace {

constexpr const char *kUnitPath = "/org/freedesktop/systemd1/unit/robot_2dclient_2eservice";
constexpr const char *kManagerPath = "/org/freedesktop/systemd1";
constexpr const char *kUnitIface = "org.freedesktop.systemd1.Unit";

struct Unit {
    std::string active = "inactive", sub = "dead", file = "enabled";
    unsigned pid = 0;
    int code = CLD_EXITED, status = 0;
    unsigned job = 0; // its own start job, pending
};
Unit s_unit;
std::string s_faults;    // " NAME" each, until it acts (shutdown stays)
bool s_straddle = false; // the pending client job runs at the next GetAll of its Unit
unsigned s_jobs = 0, s_pids = 99;
int s_report = -1;
bool s_stamped = false;

void report(const std::string &line)
{
    std::string out = line + '\n';
    if (s_stamped) {
        // Taken as the request is reported, before it is answered.
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::array<char, 32> stamp{};
        snprintf(stamp.data(), stamp.size(), "%lld.%06ld ", static_cast<long long>(now.tv_sec),
                 now.tv_nsec / 1000);
        out.insert(0, stamp.data());
    }
    if (write(s_report, out.data(), out.size()) < 0)
        _exit(3);
}

// A signal sent: counted by the bench, which sees what the watch was sent.
void sent(int emitted, const char *member)
{
    if (emitted >= 0 && s_stamped)
        report(std::string("signal ") + member);
}

void changed(sd_bus *bus)
{
    sent(sd_bus_emit_signal(bus, kUnitPath, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                            "sa{sv}as", kUnitIface, 1, "ActiveState", "s", s_unit.active.c_str(), 0),
         "PropertiesChanged");
}

// Whether the fault was given; it is taken then.
bool take(const std::string &fault)
{
    const size_t at = s_faults.find(" " + fault);
    if (at != std::string::npos && fault != "shutdown")
        s_faults.erase(at, fault.size() + 1);
    return at != std::string::npos;
}

std::string jobPath(unsigned id)
{
    return id == 0 ? "/" : "/org/freedesktop/systemd1/job/" + std::to_string(id);
}

// A new client process, started by a start job.
void startClient(sd_bus *bus)
{
    s_unit = {"active", "running", s_unit.file, ++s_pids, 0, 0, 0};
    s_straddle = false;
    report("started " + std::to_string(s_pids));
    changed(bus);
}

int answerAll(sd_bus_message *m)
{
    const char *iface = nullptr;
    const bool unit = sd_bus_message_read(m, "s", &iface) >= 0 && strcmp(iface, kUnitIface) == 0;
    if (unit && s_unit.job != 0 && take("readfail"))
        return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_FAILED, "the stand-in's read failed");
    const bool running =
        s_unit.active != "inactive" && s_unit.active != "failed" && s_unit.sub != "auto-restart";
    const int r = unit ? sd_bus_reply_method_return(m, "a{sv}", 5, "ActiveState", "s", s_unit.active.c_str(),
                                                    "SubState", "s", s_unit.sub.c_str(), "LoadState", "s",
                                                    s_unit.file == "masked" ? "masked" : "loaded",
                                                    "UnitFileState", "s", s_unit.file.c_str(), "Job", "(uo)",
                                                    s_unit.job, jobPath(s_unit.job).c_str())
                       : sd_bus_reply_method_return(m, "a{sv}", 4, "MainPID", "u", running ? s_unit.pid : 0,
                                                    "ExecMainPID", "u", s_unit.pid, "ExecMainCode", "i",
                                                    s_unit.code, "ExecMainStatus", "i", s_unit.status);
    if (unit && s_straddle)
        startClient(sd_bus_message_get_bus(m));
    return r;
}

// StartUnit or StopUnit of the target.
int job(sd_bus_message *m, const std::string &member)
{
    const char *unit = nullptr;
    const char *mode = nullptr;
    if (sd_bus_message_read(m, "ss", &unit, &mode) < 0)
        return -1;
    report(member + " " + unit + " " + mode);
    sd_bus *bus = sd_bus_message_get_bus(m);
    const bool start = member == "StartUnit";
    if (start && take("lose"))
        return sd_bus_close(bus), 1;
    if (start && take("shutdown"))
        return sd_bus_reply_method_errorf(m, "org.freedesktop.systemd1.TransactionIsDestructive",
                                          "Transaction for %s/start is destructive", unit);
    const unsigned id = ++s_jobs;
    sd_bus_reply_method_return(m, "o", jobPath(id).c_str());
    const char *result = !start ? "done" : take("failed") ? "failed" : take("canceled") ? "canceled" : "done";
    if (start && *result == 'd' && s_unit.file == "enabled" &&
        (s_unit.active == "inactive" || s_unit.active == "failed")) {
        s_straddle = take("straddle");
        if (s_straddle || take("pending"))
            s_unit.job = ++s_jobs;
        else
            startClient(bus);
    }
    sent(sd_bus_emit_signal(bus, kManagerPath, "org.freedesktop.systemd1.Manager", "JobRemoved", "uoss", id,
                            jobPath(id).c_str(), unit, result),
         "JobRemoved");
    return 1;
}

int onMessage(sd_bus_message *m, void * /*data*/, sd_bus_error * /*error*/)
{
    if (sd_bus_message_is_method_call(m, nullptr, nullptr) <= 0)
        return 0;
    if (take("slow"))
        sleep(3);
    const std::string member = sd_bus_message_get_member(m);
    if (member == "GetAll")
        return answerAll(m) < 0 ? -1 : 1;
    if (member == "StartUnit" || member == "StopUnit")
        return job(m, member);
    return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_UNKNOWN_METHOD, "no %s", member.c_str());
}

// One command line from the test. False for a drop.
bool obey(const std::string &line, sd_bus *bus)
{
    const std::string arg = line.substr(line.find(' ') + 1);
    if (line.starts_with("client ")) {
        // What a line leaves out keeps its default: the stream is at its end.
        s_unit = {"", "", s_unit.file};
        std::istringstream(arg) >> s_unit.active >> s_unit.sub >> s_unit.pid >> s_unit.code >> s_unit.status;
        if (bus != nullptr)
            changed(bus);
    } else if (line.starts_with("file ")) {
        s_unit.file = arg;
    } else if (line.starts_with("fault ")) {
        s_faults += " " + arg;
    } else if (line == "go" && s_unit.job != 0 && bus != nullptr) {
        startClient(bus);
    }
    return line != "drop";
}

} // namespace

void SystemdPeer::serve(int listenFd, int commandFd, int reportFd, bool stamped)
{
    s_report = reportFd;
    s_stamped = stamped;
    FILE *commands = fdopen(commandFd, "r");
    setvbuf(commands, nullptr, _IONBF, 0); // poll must see every line not yet read
    sd_bus *bus = nullptr;
    for (std::array<char, 256> line{};;) {
        std::array<pollfd, 2> ready{{{commandFd, POLLIN, 0}, {listenFd, POLLIN, 0}}};
        if (bus != nullptr)
            ready[1] = {sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0};
        poll(ready.data(), ready.size(), -1);
        bool synced = false;
        if ((ready[0].revents & (POLLIN | POLLHUP)) != 0) {
            if (fgets(line.data(), line.size(), commands) == nullptr)
                _exit(0);
            const std::string command(line.data(), strcspn(line.data(), "\n"));
            synced = command == "sync";
            if (!obey(command, bus))
                bus = sd_bus_flush_close_unref(bus);
        }
        // The watch's requests were sent before the sync: all are there to take.
        if (bus != nullptr) {
            while (sd_bus_process(bus, nullptr) > 0) {
            }
            if (sd_bus_is_open(bus) <= 0)
                bus = sd_bus_flush_close_unref(bus);
            else
                sd_bus_flush(bus);
        } else if ((ready[1].revents & POLLIN) != 0) {
            const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            sd_id128_t id{};
            if (sd_bus_new(&bus) < 0 || sd_bus_set_fd(bus, fd, fd) < 0 || sd_id128_randomize(&id) < 0 ||
                sd_bus_set_server(bus, 1, id) < 0 || sd_bus_set_anonymous(bus, 1) < 0 ||
                sd_bus_add_filter(bus, nullptr, onMessage, nullptr) < 0 || sd_bus_start(bus) < 0)
                _exit(4);
            report("connected");
        }
        if (synced)
            report("synced");
    }
}

SystemdPeer::SystemdPeer(const std::string &path)
{
    const int listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    unlink(path.c_str());
    std::array<int, 2> pair{}; // commands out, reports in: one a line each
    if (bind(listenFd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(listenFd, 4) != 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair.data()) != 0) {
        perror("systemd stand-in");
        abort();
    }
    fflush(nullptr);
    if ((pid_ = fork()) == 0) {
        close(pair[0]); // the test's end: the peer ends with the test
        serve(listenFd, pair[1], pair[1]);
    }
    close(listenFd);
    close(pair[1]);
    fd_ = pair[0];
}

SystemdPeer::~SystemdPeer()
{
    close(fd_);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

void SystemdPeer::command(const std::string &line)
{
    if (write(fd_, (line + '\n').data(), line.size() + 1) < 0)
        perror("systemd stand-in");
}

std::string SystemdPeer::sync()
{
    command("sync");
    std::string lines;
    for (char c = 0; !lines.ends_with("synced\n"); lines += c) {
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, 10000) != 1 || read(fd_, &c, 1) != 1)
            return "";
    }
    return lines.substr(0, lines.size() - 7);
}

} // namespace testsupport
