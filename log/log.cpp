#include "log/log.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {

constexpr char kEsc = 27;

constexpr std::array<const char *, 12> kLevelNames = {
    "ERR",    "WARN",      "NOTICE", "INFO",    "DEBUG", "PARSER",
    "HEADER", "EXTENSION", "CLIENT", "LATENCY", "USER",  "THREAD",
};

// Text that follows ESC in an ANSI colour command.
constexpr std::array<const char *, 12> kLevelColors = {
    "[31;1m", "[35;1m", "[36;1m", "[32;1m", "[34;1m", "[33;1m",
    "[33m",   "[33m",   "[33m",   "[33;1m", "[30;1m", "[31m",
};

// Shown when the local time cannot be had.
constexpr const char *kNoTimeStamp = "0-0-0 0:0:0";

} // namespace

void logPrint(const char * /*file*/, const char * /*function*/, int /*line*/, int level, const char *format,
              ...)
{
    if (level < 0 || level > kLevelMaxPrinted)
        return;

    // A four-digit year needs 19 characters; a stamp that does not fit, like
    // one that cannot be had, shows as the placeholder.
    std::array<char, 24> stamp{};
    const time_t now = time(nullptr);
    struct tm local {};
    const bool haveTime = now != static_cast<time_t>(-1) && localtime_r(&now, &local) != nullptr;
    if (!haveTime ||
        snprintf(stamp.data(), stamp.size(), "%d-%d-%d %d:%d:%d", local.tm_year + 1900, local.tm_mon + 1,
                 local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec) >= static_cast<int>(stamp.size()))
        snprintf(stamp.data(), stamp.size(), "%s", kNoTimeStamp);

    std::array<char, kLogMessageMax + 1> message{};
    va_list args;
    va_start(args, format);
    vsnprintf(message.data(), message.size(), format, args);
    va_end(args);

    const auto index = static_cast<size_t>(level);
    printf("%c%s[%s] %s: %s%c[0m", kEsc, kLevelColors[index], stamp.data(), kLevelNames[index],
           message.data(), kEsc);
}
