#include <ctime>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>

#include "client/manager_link.h"
#include "log/log.h"
#include "tests/support/capture.h"

using namespace testsupport;

// Log output with every time stamp (local time, no leading zeros, the hour
// 5) as "[T]".
std::string stamped(const std::string &text)
{
    const std::regex stamp(R"(\[[1-9]\d*-[1-9]\d?-[1-9]\d? 5:(0|[1-9]\d?):(0|[1-9]\d?)\])");
    return std::regex_replace(text, stamp, "[T]");
}

// One line: ESC colour "[stamp] NAME: " message ESC "[0m". Levels 0 to 4
// print with their own colour and name, others nothing. A JOURNAL_STREAM
// that names another file, and NO_COLOR off a terminal, change nothing.
TEST(LogPrint, LineFormat)
{
    const time_t now = time(nullptr); // the zone is set so that the local hour is 5
    setenv("TZ", ("XYZ" + std::to_string(gmtime(&now)->tm_hour - 5)).c_str(), 1);
    tzset();
    setenv("JOURNAL_STREAM", "1:2", 1), setenv("NO_COLOR", "1", 1);
    const OutputCapture out;
    logSetup();
    for (int level = -1; level <= 5; ++level)
        logPrint("net", "f", 1, level, "m %d\n", level);
    EXPECT_EQ(stamped(out.text()), "\x1b[31;1m[T] ERR: m 0\n\x1b[0m\x1b[35;1m[T] WARN: m 1\n\x1b[0m"
                                   "\x1b[36;1m[T] NOTICE: m 2\n\x1b[0m\x1b[32;1m[T] INFO: m 3\n\x1b[0m"
                                   "\x1b[34;1m[T] DEBUG: m 4\n\x1b[0m");
}

// Under the journal (JOURNAL_STREAM names stdout) each entry has its
// priority and ends with its line end, also one logged without it.
TEST(LogPrint, EveryJournalEntryEnds)
{
    const OutputCapture out;
    struct stat stdoutStat {};
    fstat(1, &stdoutStat);
    setenv("JOURNAL_STREAM",
           (std::to_string(stdoutStat.st_dev) + ":" + std::to_string(stdoutStat.st_ino)).c_str(), 1);
    logSetup();
    handleManagerMsg(R"({"command":"x"})", SYS_STATE_IDLE, {});
    logPrint("net", "f", 1, kLevelWarn, "next\n");
    EXPECT_EQ(std::regex_replace(out.text(), std::regex(R"(\[[-0-9: ]+\] )"), ""),
              "<5>NOTICE: recv msg:{\"command\":\"x\"}\n<3>ERR: cmd null\n<4>WARN: next\n");
}

// A message is cut to 2047 characters; one cut short (here a manager text
// that escaping made four times as long) still ends its line.
TEST(LogPrint, ACutLineStillEnds)
{
    const OutputCapture out;
    handleManagerMsg(std::string(kManagerReadMax, '\x01').c_str(), SYS_STATE_IDLE, {});
    std::string escaped = "NOTICE: recv msg:";
    while (escaped.size() < 3000)
        escaped += "\\x01";
    EXPECT_EQ(plain(out.text()), escaped.substr(0, 8 + 2046) + "\nERR: cJSON_Parse failed\n");
}
