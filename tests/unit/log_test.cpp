#include <climits>
#include <ctime>
#include <gtest/gtest.h>
#include <regex>

#include "log/log.h"
#include "tests/support/capture.h"

using namespace testsupport;

// One line: ESC colour "[stamp] NAME: " message ESC "[0m", the stamp being the
// local time without leading zeros (the zone is set so the hour has one digit).
// Levels 0 to 4 print with their own colour and name, others nothing; the
// message keeps at most 2047 characters and the colour reset still follows.
TEST(LogPrint, LineFormatLevelsAndLength)
{
    const time_t now = time(nullptr);
    setenv("TZ", ("XYZ" + std::to_string(gmtime(&now)->tm_hour - 5)).c_str(), 1);
    tzset();
    const auto head = [] { // a line's start as written at this second
        char text[48];
        const time_t t = time(nullptr);
        return std::string(
            text, strftime(text, sizeof(text), "\x1b[31;1m[%Y-%-m-%-d %-H:%-M:%-S] ERR: ", localtime(&t)));
    };
    OutputCapture out;
    const std::string before = head();
    logPrint("robotClient", "caller", 42, 0, "recv msg:%s %d\n", "{\"cmd\":1}", -7);
    const std::string after = head(), line = out.text(), tail = "recv msg:{\"cmd\":1} -7\n\x1b[0m";
    EXPECT_TRUE(line == before + tail || line == after + tail) << line;

    for (const int level : {INT_MIN, -1, 5, 11, 12, INT_MAX})
        logPrint("net", "f", 1, level, "dropped\n");
    const char *const heads[] = {"31;1m[T] ERR", "35;1m[T] WARN", "36;1m[T] NOTICE", "32;1m[T] INFO",
                                 "34;1m[T] DEBUG"};
    std::string want = line;
    for (int level = 0; level <= 4; ++level) {
        logPrint("net", "f", 1, level, "level %d\n", level);
        want += "\x1b[" + std::string(heads[level]) + ": level " + std::to_string(level) + "\n\x1b[0m";
    }
    logPrint("net", "f", 1, 2, "%s\n", std::string(3000, 'b').c_str());
    want += "\x1b[36;1m[T] NOTICE: " + std::string(2047, 'b') + "\x1b[0m";
    const std::regex stamp(R"(\[\d+-\d+-\d+ \d+:\d+:\d+\])");
    EXPECT_EQ(std::regex_replace(out.text(), stamp, "[T]"), std::regex_replace(want, stamp, "[T]"));
}
