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

int call(const char *method, std::span<char> error)
{
    sd_bus_error err = SD_BUS_ERROR_NULL;
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
    sd_bus_error_free(&err);
    return r < 0 ? r : 0;
}

// A property of the client unit's: its text into out ("" when it cannot be read).
void clientText(const char *interface, const char *name, std::span<char> out)
{
    char *value = nullptr;
    out[0] = '\0';
    if (sd_bus_get_property_string(s_bus, kSystemd, kClientPath, interface, name, nullptr, &value) >= 0)
        snprintf(out.data(), out.size(), "%s", value);
    free(value); // NOLINT(cppcoreguidelines-no-malloc): sd-bus allocates it
}

template <typename T> T clientNumber(const char *name, char type)
{
    T value{};
    sd_bus_get_property_trivial(s_bus, kSystemd, kClientPath, "org.freedesktop.systemd1.Service", name,
                                nullptr, type, &value);
    return value;
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

int busStartTarget(std::span<char> error)
{
    return call("StartUnit", error);
}

int busStopTarget(std::span<char> error)
{
    return call("StopUnit", error);
}

ClientLook busLookAtClient()
{
    std::array<char, 32> active{};
    std::array<char, 32> sub{};
    clientText("org.freedesktop.systemd1.Unit", "ActiveState", active);
    clientText("org.freedesktop.systemd1.Unit", "SubState", sub);
    ClientLook look;
    look.state = unitState(active.data(), sub.data());
    look.pid = clientNumber<uint32_t>("ExecMainPID", 'u');
    look.code = clientNumber<int32_t>("ExecMainCode", 'i');
    look.status = clientNumber<int32_t>("ExecMainStatus", 'i');
    sd_bus_message *reply = nullptr;
    uint32_t job = 0;
    const char *jobPath = nullptr;
    if (sd_bus_get_property(s_bus, kSystemd, kClientPath, "org.freedesktop.systemd1.Unit", "Job", nullptr,
                            &reply, "(uo)") >= 0 &&
        sd_bus_message_read(reply, "(uo)", &job, &jobPath) >= 0)
        look.job = job != 0;
    sd_bus_message_unref(reply);
    return look;
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
