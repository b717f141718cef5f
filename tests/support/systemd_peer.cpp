#include "tests/support/systemd_peer.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace testsupport {
namespace {

constexpr const char *kUnitPath = "/org/freedesktop/systemd1/unit/robot_2dclient_2eservice";
constexpr const char *kManagerPath = "/org/freedesktop/systemd1";

struct Unit {
    std::string active = "inactive", sub = "dead";
    unsigned pid = 0;
    int code = CLD_EXITED, status = 0;
};
Unit s_unit;
std::string s_onStart;
unsigned s_jobs = 0;
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

Unit parse(const std::string &state)
{
    Unit unit;
    std::array<char, 16> active{}, sub{};
    sscanf(state.c_str(), "%15s %15s %u %d %d", active.data(), sub.data(), &unit.pid, &unit.code,
           &unit.status);
    unit.active = active.data(), unit.sub = sub.data();
    return unit;
}

void changed(sd_bus *bus)
{
    sent(sd_bus_emit_signal(bus, kUnitPath, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                            "sa{sv}as", "org.freedesktop.systemd1.Unit", 1, "ActiveState", "s",
                            s_unit.active.c_str(), 0),
         "PropertiesChanged");
}

int answer(sd_bus_message *m)
{
    const char *iface = nullptr;
    const char *name = nullptr;
    sd_bus_message_read(m, "ss", &iface, &name);
    const std::string n(name);
    if (n == "ActiveState" || n == "SubState")
        return sd_bus_reply_method_return(m, "v", "s",
                                          (n == "ActiveState" ? s_unit.active : s_unit.sub).c_str());
    if (n == "ExecMainPID")
        return sd_bus_reply_method_return(m, "v", "u", s_unit.pid);
    if (n == "ExecMainCode" || n == "ExecMainStatus")
        return sd_bus_reply_method_return(m, "v", "i", n == "ExecMainCode" ? s_unit.code : s_unit.status);
    if (n == "Job")
        return sd_bus_reply_method_return(m, "v", "(uo)", 0, "/");
    return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_UNKNOWN_PROPERTY, "no %s", name);
}

int onMessage(sd_bus_message *m, void * /*data*/, sd_bus_error * /*error*/)
{
    if (sd_bus_message_is_method_call(m, nullptr, nullptr) <= 0)
        return 0;
    const std::string member = sd_bus_message_get_member(m);
    if (member == "Get")
        return answer(m) < 0 ? -1 : 1;
    const char *unit = nullptr;
    const char *mode = nullptr;
    if ((member != "StartUnit" && member != "StopUnit") || sd_bus_message_read(m, "ss", &unit, &mode) < 0)
        return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_UNKNOWN_METHOD, "no %s", member.c_str());
    report(member + " " + unit + " " + mode);
    const std::string job = "/org/freedesktop/systemd1/job/" + std::to_string(++s_jobs);
    sd_bus *bus = sd_bus_message_get_bus(m);
    sd_bus_reply_method_return(m, "o", job.c_str());
    if (member == "StartUnit" && !s_onStart.empty()) {
        s_unit = parse(s_onStart);
        s_onStart.clear();
        changed(bus);
    }
    sent(sd_bus_emit_signal(bus, kManagerPath, "org.freedesktop.systemd1.Manager", "JobRemoved", "uoss",
                            s_jobs, job.c_str(), unit, "done"),
         "JobRemoved");
    return 1;
}

// One command line from the test: "client STATE", "onstart STATE", "drop".
// False for a drop.
bool obey(const std::string &line, sd_bus *bus)
{
    if (line.starts_with("onstart "))
        s_onStart = line.substr(8);
    else if (line.starts_with("client ")) {
        s_unit = parse(line.substr(7));
        if (bus != nullptr)
            changed(bus);
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
        if ((ready[0].revents & (POLLIN | POLLHUP)) != 0) {
            if (fgets(line.data(), line.size(), commands) == nullptr)
                _exit(0);
            if (!obey(std::string(line.data(), strcspn(line.data(), "\n")), bus))
                bus = sd_bus_flush_close_unref(bus);
        }
        if (bus != nullptr) {
            while (sd_bus_process(bus, nullptr) > 0) {
            }
            if (sd_bus_is_open(bus) <= 0)
                bus = sd_bus_flush_close_unref(bus);
        } else if ((ready[1].revents & POLLIN) != 0) {
            const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            sd_id128_t id{};
            if (sd_bus_new(&bus) < 0 || sd_bus_set_fd(bus, fd, fd) < 0 || sd_id128_randomize(&id) < 0 ||
                sd_bus_set_server(bus, 1, id) < 0 || sd_bus_set_anonymous(bus, 1) < 0 ||
                sd_bus_add_filter(bus, nullptr, onMessage, nullptr) < 0 || sd_bus_start(bus) < 0)
                _exit(4);
            report("connected");
        }
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

std::string SystemdPeer::next()
{
    std::string line;
    for (char c = 0; c != '\n'; line += c) {
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, 10000) != 1 || read(fd_, &c, 1) != 1)
            return "";
    }
    line.pop_back();
    return line;
}

} // namespace testsupport
