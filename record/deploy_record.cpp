#include "record/deploy_record.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/fd_guard.h"

namespace {

// Readable by all: it holds no secret.
constexpr mode_t kRecordMode = 0644;
// A record is a few hundred bytes; anything longer is no record of ours.
constexpr size_t kRecordMax = 1024;

struct StateWord {
    DeployState state;
    std::string_view word;
};
constexpr std::array<StateWord, 4> kStateWords = {{
    {DeployState::kRunning, "running"},
    {DeployState::kFinished, "finished"},
    {DeployState::kExited, "exited"},
    {DeployState::kStopped, "stopped"},
}};

constexpr std::array<std::string_view, 7> kStepWords = {
    "none", "announced", "mount_answered", "copied", "run_answered", "run_finished", "exit_ordered",
};

// "ok", "none" or "exit N", quoted for a shell's `.` where it has a blank.
void copyWord(int result, std::span<char> out)
{
    if (result == 0)
        snprintf(out.data(), out.size(), "ok");
    else if (result < 0)
        snprintf(out.data(), out.size(), "none");
    else
        snprintf(out.data(), out.size(), "\"exit %d\"", result);
}

// ISO 8601 in UTC, or nothing for 0.
void utcWord(time_t at, std::span<char> out)
{
    struct tm utc {};
    if (at == 0 || gmtime_r(&at, &utc) == nullptr || strftime(out.data(), out.size(), "%FT%TZ", &utc) == 0)
        out[0] = '\0';
}

// A number of the record (0 for none).
double numberOf(std::string_view value)
{
    std::array<char, 32> text{};
    memcpy(text.data(), value.data(), std::min(value.size(), text.size() - 1));
    return strtod(text.data(), nullptr);
}

int copyFromWord(std::string_view word)
{
    if (word.size() >= 2 && word.front() == '"' && word.back() == '"')
        word = std::string_view(word.data() + 1, word.size() - 2);
    if (word == "ok")
        return 0;
    if (word.starts_with("exit ")) {
        word.remove_prefix(5);
        const int status = static_cast<int>(numberOf(word));
        return status > 0 ? status : kCopyNotRun;
    }
    return kCopyNotRun;
}

DeployStep stepFromWord(std::string_view word)
{
    for (size_t i = 0; i < kStepWords.size(); ++i) {
        if (kStepWords[i] == word)
            return static_cast<DeployStep>(i);
    }
    return DeployStep::kNone;
}

// Syncs the folder that holds path, so that a rename in it survives a power
// loss.
int syncFolder(const char *path)
{
    std::array<char, 256> folder{};
    snprintf(folder.data(), folder.size(), "%s", path);
    char *slash = strrchr(folder.data(), '/');
    if (slash == nullptr)
        return 0;
    *slash = '\0';
    const FdGuard fd(open(folder.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.get() >= 0 && fsync(fd.get()) == 0 ? 0 : -errno;
}

} // namespace

const char *deployStateWord(DeployState state)
{
    for (const auto &known : kStateWords) {
        if (known.state == state)
            return known.word.data();
    }
    return "unknown";
}

DeployState deployStateFromWord(std::string_view word)
{
    for (const auto &known : kStateWords) {
        if (known.word == word)
            return known.state;
    }
    return DeployState::kUnknown;
}

int formatDeployRecord(const DeployRecord &record, std::span<char> out)
{
    std::array<char, 24> app{};
    std::array<char, 24> ai{};
    std::array<char, 32> started{};
    std::array<char, 32> ended{};
    copyWord(record.copyApp, app);
    copyWord(record.copyAi, ai);
    utcWord(record.handshakeStartedUtc, started);
    utcWord(record.endedUtc, ended);
    const int len = snprintf(
        out.data(), out.size(),
        "format=%d\nstate=%s\npid=%ld\nhandshake_started=%.6f\nended=%.6f\n"
        "copy_app=%s\ncopy_ai=%s\ncarrier_ups=%d\ndropped_connections=%d\nusb0_carrier_up_count=%u\n"
        "handshake_started_utc=%s\nended_utc=%s\nboot_id=%s\nclient_version=%s\nlast_step=%s\n"
        "manager_hung_up=%s\n",
        kDeployRecordFormat, deployStateWord(record.state), record.pid, record.handshakeStarted, record.ended,
        app.data(), ai.data(), record.carrierUps, record.droppedConnections, record.usb0CarrierUpCount,
        started.data(), ended.data(), record.bootId.data(), record.clientVersion.data(),
        kStepWords[static_cast<size_t>(record.lastStep)].data(), record.managerHungUp ? "yes" : "no");
    return len >= 0 && static_cast<size_t>(len) < out.size() ? len : -1;
}

DeployRecord parseDeployRecord(std::string_view text)
{
    DeployRecord record;
    bool known = false;
    DeployState state = DeployState::kUnknown;
    while (!text.empty()) {
        // No substr: its range check would pull the C++ runtime library in.
        const size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line(text.data(), end);
        text.remove_prefix(std::min(end + 1, text.size()));
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string_view key(line.data(), eq);
        const std::string_view value(line.data() + eq + 1, line.size() - eq - 1);
        if (key == "format")
            known = static_cast<int>(numberOf(value)) == kDeployRecordFormat;
        else if (key == "state")
            state = deployStateFromWord(value);
        else if (key == "pid")
            record.pid = static_cast<long>(numberOf(value));
        else if (key == "handshake_started")
            record.handshakeStarted = numberOf(value);
        else if (key == "ended")
            record.ended = numberOf(value);
        else if (key == "copy_app")
            record.copyApp = copyFromWord(value);
        else if (key == "copy_ai")
            record.copyAi = copyFromWord(value);
        else if (key == "carrier_ups")
            record.carrierUps = static_cast<int>(numberOf(value));
        else if (key == "dropped_connections")
            record.droppedConnections = static_cast<int>(numberOf(value));
        else if (key == "usb0_carrier_up_count")
            record.usb0CarrierUpCount = static_cast<uint32_t>(numberOf(value));
        else if (key == "last_step")
            record.lastStep = stepFromWord(value);
        else if (key == "manager_hung_up")
            record.managerHungUp = value == "yes";
    }
    if (known)
        record.state = state;
    else
        record = {};
    return record;
}

int writeDeployRecord(const char *path, const DeployRecord &record, bool durable)
{
    std::array<char, kRecordMax> text{};
    const int len = formatDeployRecord(record, text);
    if (len < 0)
        return -EOVERFLOW;
    std::array<char, 256> tmp{};
    if (snprintf(tmp.data(), tmp.size(), "%s.new", path) >= static_cast<int>(tmp.size()))
        return -ENAMETOOLONG;
    {
        const FdGuard fd(open(tmp.data(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kRecordMode));
        if (fd.get() < 0)
            return -errno;
        // The mode whatever the umask (the unit's is 0077) let through.
        if (fchmod(fd.get(), kRecordMode) != 0 ||
            write(fd.get(), text.data(), static_cast<size_t>(len)) != static_cast<ssize_t>(len) ||
            (durable && fsync(fd.get()) != 0)) {
            const int err = errno != 0 ? errno : EIO;
            unlink(tmp.data());
            return -err;
        }
    }
    if (rename(tmp.data(), path) != 0) {
        const int err = errno;
        unlink(tmp.data());
        return -err;
    }
    return durable ? syncFolder(path) : 0;
}

DeployRecord readDeployRecord(const char *path)
{
    const FdGuard fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return {};
    std::array<char, kRecordMax> text{};
    const ssize_t got = read(fd.get(), text.data(), text.size() - 1);
    if (got <= 0)
        return {};
    return parseDeployRecord(std::string_view(text.data(), static_cast<size_t>(got)));
}

double monotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}
