#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "client/manager_link.h"
#include "log/log.h"
#include "tests/support/capture.h"

using namespace testsupport;

// Log output with every time stamp (local time, no leading zeros) as "[T]".
std::string stamped(const std::string &text, const std::string &hour = R"((0|[1-9]\d?))")
{
    const std::regex stamp(R"(\[[1-9]\d*-[1-9]\d?-[1-9]\d? )" + hour + R"(:(0|[1-9]\d?):(0|[1-9]\d?)\])");
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
    EXPECT_EQ(stamped(out.text(), "5"), "\x1b[31;1m[T] ERR: m 0\n\x1b[0m\x1b[35;1m[T] WARN: m 1\n\x1b[0m"
                                        "\x1b[36;1m[T] NOTICE: m 2\n\x1b[0m\x1b[32;1m[T] INFO: m 3\n\x1b[0m"
                                        "\x1b[34;1m[T] DEBUG: m 4\n\x1b[0m");
}

// A message is cut to 2047 characters; one cut short (here a manager text
// that escaping made four times as long) still ends its line.
TEST(LogPrint, ACutLineStillEnds)
{
    const OutputCapture out;
    handleManagerMsg(std::string(kManagerReadMax, '\x01').c_str());
    std::string escaped = "NOTICE: recv msg:";
    while (escaped.size() < 3000)
        escaped += "\\x01";
    EXPECT_EQ(plain(out.text()), escaped.substr(0, 8 + 2046) + "\nERR: cJSON_Parse failed\n");
}

// With stdout the journal, a line starts with its syslog priority, carries
// no colour and ends in its own newline (ERR <3>, DEBUG <7>).
TEST(LogMode, JournalLinesStartWithTheirPriorityAndCarryNoColour)
{
    OutputCapture out;
    struct stat st {};
    fstat(STDOUT_FILENO, &st);
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    logSetup();
    logPrint("robotClient", "main", 1, kLevelErr, "robot client exit!\n");
    logPrint("robotClient", "f", 1, kLevelDebug, "cmd null");
    EXPECT_EQ(stamped(out.text()), "<3>[T] ERR: robot client exit!\n<7>[T] DEBUG: cmd null\n");
}

// NO_COLOR drops the colour on a terminal (which turns "\n" into "\r\n").
TEST(LogMode, NoColorDropsTheColourOnATerminal)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    OutputCapture restoresStdout;
    dup2(open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC), STDOUT_FILENO);
    setenv("NO_COLOR", "1", 1);
    logSetup();
    logPrint("robotClient", "f", 1, kLevelWarn, "SIGINT exit...\n");
    fflush(stdout);
    char text[256] = {};
    EXPECT_GT(read(master, text, sizeof(text) - 1), 0);
    EXPECT_EQ(stamped(text), "[T] WARN: SIGINT exit...\r\n");
}
