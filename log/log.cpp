#include "log/log.h"

#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

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

// Syslog priority of the printed levels: ERR 3, WARN 4, NOTICE 5, INFO 6, DEBUG 7.
constexpr int kSyslogPriorityOfErr = 3;

// Shown when the local time cannot be had.
constexpr const char *kNoTimeStamp = "0-0-0 0:0:0";

enum class LogMode {
    kColour,  // ESC colour, line, ESC "[0m" (after the message's own "\n")
    kPlain,   // the line alone
    kJournal, // "<N>" and the line, which always ends in "\n"
};

// Set once by logSetup.
LogMode s_mode = LogMode::kColour;

// True when text ("<st_dev>:<st_ino>", as systemd sets JOURNAL_STREAM) names fd.
bool streamIsFd(const char *text, int fd)
{
    struct stat st {};
    if (text == nullptr || fstat(fd, &st) != 0)
        return false;
    std::array<char, 48> expected{};
    snprintf(expected.data(), expected.size(), "%" PRIuMAX ":%" PRIuMAX, static_cast<uintmax_t>(st.st_dev),
             static_cast<uintmax_t>(st.st_ino));
    return strcmp(text, expected.data()) == 0;
}

} // namespace

void logSetup()
{
    // A stdout that merely inherited JOURNAL_STREAM (redirected elsewhere)
    // does not match and keeps its colours.
    const char *noColor = getenv("NO_COLOR");
    if (streamIsFd(getenv("JOURNAL_STREAM"), STDOUT_FILENO))
        s_mode = LogMode::kJournal;
    else if (noColor != nullptr && noColor[0] != '\0' && isatty(STDOUT_FILENO) == 1)
        s_mode = LogMode::kPlain;
    else
        s_mode = LogMode::kColour;
}

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
    const int wanted = vsnprintf(message.data(), message.size(), format, args);
    va_end(args);
    // A message cut to fit (an escaped manager text can be four times its
    // length) keeps the line end its format asked for: the next line must
    // not run into it.
    const size_t formatLen = strlen(format);
    if (wanted > kLogMessageMax && formatLen > 0 && format[formatLen - 1] == '\n')
        message[kLogMessageMax - 1] = '\n';

    const auto index = static_cast<size_t>(level);
    switch (s_mode) {
    case LogMode::kColour:
        printf("%c%s[%s] %s: %s%c[0m", kEsc, kLevelColors[index], stamp.data(), kLevelNames[index],
               message.data(), kEsc);
        break;
    case LogMode::kPlain:
        printf("[%s] %s: %s", stamp.data(), kLevelNames[index], message.data());
        break;
    case LogMode::kJournal: {
        // journald takes each line as one entry and reads its priority from
        // the line's start, so a message without its "\n" (or cut) gets one.
        const size_t len = strlen(message.data());
        const bool ended = len > 0 && message[len - 1] == '\n';
        printf("<%d>[%s] %s: %s%s", kSyslogPriorityOfErr + level, stamp.data(), kLevelNames[index],
               message.data(), ended ? "" : "\n");
        break;
    }
    }
}

const char *logEscape(std::string_view in, std::span<char> out)
{
    if (out.empty())
        return out.data();
    size_t used = 0;
    for (const char c : in) {
        const auto byte = static_cast<unsigned char>(c);
        std::array<char, 5> piece{};
        if (byte < 0x20 || byte == 0x7f)
            snprintf(piece.data(), piece.size(), "\\x%02x", byte);
        else if (c == '\\')
            piece = {'\\', '\\'};
        else
            piece = {c};
        const size_t len = strlen(piece.data());
        if (used + len >= out.size())
            break;
        memcpy(out.data() + used, piece.data(), len);
        used += len;
    }
    out[used] = '\0';
    return out.data();
}
