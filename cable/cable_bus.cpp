#include "cable/cable_bus.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <systemd/sd-bus.h>

namespace {

constexpr const char *kSystemd = "org.freedesktop.systemd1";
constexpr const char *kManagerPath = "/org/freedesktop/systemd1";
constexpr const char *kManager = "org.freedesktop.systemd1.Manager";
// robot-client.service's object, as systemd escapes its name.
constexpr const char *kClientPath = "/org/freedesktop/systemd1/unit/robot_2dclient_2eservice";

sd_bus *s_bus = nullptr;
int (*s_connector)() = nullptr;
// The start job's object path, while it runs ("": none).
std::array<char, 96> s_startJob{};
BusNews s_news;

int onJobRemoved(sd_bus_message *message, void * /*data*/, sd_bus_error * /*error*/)
{
    uint32_t id = 0;
    const char *path = nullptr;
    const char *unit = nullptr;
    const char *result = nullptr;
    if (sd_bus_message_read(message, "uoss", &id, &path, &unit, &result) < 0 || s_startJob[0] == '\0' ||
        strcmp(path, s_startJob.data()) != 0)
        return 0;
    s_startJob[0] = '\0';
    s_news.startEnded = true;
    s_news.startDone = strcmp(result, "done") == 0;
    snprintf(s_news.result.data(), s_news.result.size(), "%s", result);
    return 0;
}

int onClientChanged(sd_bus_message * /*message*/, void * /*data*/, sd_bus_error * /*error*/)
{
    s_news.clientChanged = true;
    return 0;
}

// StartUnit or StopUnit of the target, mode "replace": 0, or a negative
// errno with systemd's reason in error and err.
int call(const char *method, std::span<char> error, sd_bus_error &err)
{
    sd_bus_message *reply = nullptr;
    int r = sd_bus_call_method(s_bus, kSystemd, kManagerPath, kManager, method, &err, &reply, "ss",
                               kPluggedTarget, "replace");
    const char *job = nullptr;
    if (r >= 0)
        r = sd_bus_message_read(reply, "o", &job);
    if (r < 0)
        snprintf(error.data(), error.size(), "%s", err.message != nullptr ? err.message : strerror(-r));
    // A stop replaces (cancels) a start job: no end of it is awaited then.
    else
        snprintf(s_startJob.data(), s_startJob.size(), "%s", strcmp(method, "StartUnit") == 0 ? job : "");
    sd_bus_message_unref(reply);
    return r < 0 ? r : 0;
}

// Walks the a{sv} of a GetAll of an interface of the client unit: read
// takes each property it wants from its variant and returns true; the
// others are skipped. False when systemd gave no such answer.
template <typename Read> bool readAll(const char *interface, Read read)
{
    sd_bus_message *reply = nullptr;
    int r = sd_bus_call_method(s_bus, kSystemd, kClientPath, "org.freedesktop.DBus.Properties", "GetAll",
                               nullptr, &reply, "s", interface);
    if (r >= 0)
        r = sd_bus_message_enter_container(reply, 'a', "{sv}");
    while (r >= 0 && (r = sd_bus_message_enter_container(reply, 'e', "sv")) > 0) {
        const char *name = nullptr;
        r = sd_bus_message_read(reply, "s", &name);
        if (r >= 0 && !read(reply, std::string_view(name)))
            r = sd_bus_message_skip(reply, "v");
        if (r >= 0)
            r = sd_bus_message_exit_container(reply);
    }
    sd_bus_message_unref(reply);
    return r == 0;
}

// A string property's text into out.
bool text(sd_bus_message *reply, std::span<char> out)
{
    const char *value = "";
    const int r = sd_bus_message_read(reply, "v", "s", &value);
    snprintf(out.data(), out.size(), "%s", value);
    return r >= 0;
}

} // namespace

void cableBusSetConnector(int (*connector)())
{
    s_connector = connector;
}

int busConnect()
{
    busDisconnect();
    int r = sd_bus_new(&s_bus);
    if (r >= 0 && s_connector != nullptr) {
        const int fd = s_connector();
        r = fd < 0 ? -errno : sd_bus_set_fd(s_bus, fd, fd);
    } else if (r >= 0) {
        r = sd_bus_set_address(s_bus, kSystemdBusAddress);
        if (r >= 0)
            r = sd_bus_set_watch_bind(s_bus, 1);
    }
    if (r >= 0)
        r = sd_bus_start(s_bus);
    if (r >= 0)
        r = sd_bus_match_signal(s_bus, nullptr, nullptr, kManagerPath, kManager, "JobRemoved", onJobRemoved,
                                nullptr);
    if (r >= 0)
        r = sd_bus_match_signal(s_bus, nullptr, nullptr, kClientPath, "org.freedesktop.DBus.Properties",
                                "PropertiesChanged", onClientChanged, nullptr);
    if (r < 0)
        busDisconnect();
    return r < 0 ? r : 0;
}

void busDisconnect()
{
    s_bus = sd_bus_flush_close_unref(s_bus);
    s_startJob[0] = '\0';
}

bool busConnected()
{
    return s_bus != nullptr;
}

Start busStartTarget(std::span<char> error)
{
    sd_bus_error err = SD_BUS_ERROR_NULL;
    const int r = call("StartUnit", error, err);
    Start start = Start::kQueued;
    if (r < 0 && sd_bus_error_has_names(&err, "org.freedesktop.systemd1.TransactionIsDestructive",
                                        "org.freedesktop.systemd1.ShuttingDown"))
        start = Start::kShuttingDown;
    // No answer of systemd's: what broke is the connection or the wait.
    else if (r == -ETIMEDOUT || r == -ECONNRESET || r == -ENOTCONN || r == -EPIPE || r == -ESHUTDOWN ||
             (r < 0 && sd_bus_is_open(s_bus) <= 0))
        start = Start::kLost;
    else if (r < 0)
        start = Start::kRefused;
    sd_bus_error_free(&err);
    return start;
}

int busStopTarget(std::span<char> error)
{
    sd_bus_error err = SD_BUS_ERROR_NULL;
    const int r = call("StopUnit", error, err);
    sd_bus_error_free(&err);
    return r;
}

ClientLook busLookAtClient()
{
    for (int tries = 0; tries < 3; ++tries) {
        std::array<char, 32> active{}, sub{}, load{}, file{};
        uint32_t job = 0, mainPid = 0, pid = 0;
        int32_t code = 0, status = 0;
        const bool read =
            readAll("org.freedesktop.systemd1.Unit",
                    [&](sd_bus_message *m, std::string_view name) {
                        const char *path = nullptr;
                        return name == "ActiveState"     ? text(m, active)
                               : name == "SubState"      ? text(m, sub)
                               : name == "LoadState"     ? text(m, load)
                               : name == "UnitFileState" ? text(m, file)
                               : name == "Job" ? sd_bus_message_read(m, "v", "(uo)", &job, &path) >= 0
                                               : false;
                    }) &&
            readAll("org.freedesktop.systemd1.Service", [&](sd_bus_message *m, std::string_view name) {
                return name == "MainPID"          ? sd_bus_message_read(m, "v", "u", &mainPid) >= 0
                       : name == "ExecMainPID"    ? sd_bus_message_read(m, "v", "u", &pid) >= 0
                       : name == "ExecMainCode"   ? sd_bus_message_read(m, "v", "i", &code) >= 0
                       : name == "ExecMainStatus" ? sd_bus_message_read(m, "v", "i", &status) >= 0
                                                  : false;
            });
        if (!read)
            return {};
        const ClientLook look{unitState(active.data(), sub.data()), pid, code, status, job != 0,
                              unitFile(load.data(), file.data())};
        // The two tell the same moment unless a main process started or
        // ended between them (MainPID is 0 when none runs).
        if (std::string_view(active.data()) == "deactivating" ||
            (look.state == UnitState::kRunning) == (mainPid != 0))
            return look;
    }
    return {};
}

int busProcess(BusNews &news)
{
    int r = 0;
    while ((r = sd_bus_process(s_bus, nullptr)) > 0) {
    }
    news = s_news;
    s_news = {};
    if (r >= 0 && sd_bus_is_open(s_bus) <= 0)
        r = -ECONNRESET;
    return r < 0 ? r : 0;
}

int busWaitFor(pollfd &fd)
{
    fd = {sd_bus_get_fd(s_bus), static_cast<short>(sd_bus_get_events(s_bus)), 0};
    uint64_t until = 0;
    if (sd_bus_get_timeout(s_bus, &until) < 0 || until == UINT64_MAX)
        return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto nowUs =
        static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
    return until <= nowUs ? 0 : static_cast<int>((until - nowUs + 999) / 1000);
}
