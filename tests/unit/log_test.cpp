#include <climits>
#include <ctime>
#include <gtest/gtest.h>

#include "log/log.h"
#include "tests/support/capture.h"
#include "tests/support/checks.h"

using namespace testsupport;

// One line: ESC colour "[stamp] NAME: " message ESC "[0m", the stamp being the
// local time without leading zeros. The zone is set so the hour has one digit.
TEST(LogPrint, WritesColouredLineWithLocalTimeStamp)
{
    const time_t now = time(nullptr);
    setenv("TZ", ("XYZ" + std::to_string(gmtime(&now)->tm_hour - 5)).c_str(), 1);
    tzset();
    std::string stamps; // as written at the second before and after the call
    const auto addStamp = [&stamps] {
        const time_t t = time(nullptr);
        char text[32];
        strftime(text, sizeof(text), "\x1b[31;1m[%Y-%-m-%-d %-H:%-M:%-S] ", localtime(&t));
        stamps += text;
    };
    OutputCapture out;
    addStamp();
    logPrint("robotClient", "caller", 42, 0, "recv msg:%s %d\n", "{\"cmd\":1}", -7);
    addStamp();
    const std::string text = out.text();
    EXPECT_EQ(unstamped(text), logLine(0, "recv msg:{\"cmd\":1} -7\n"));
    EXPECT_NE(stamps.find(text.substr(0, text.find(']') + 2)), std::string::npos) << text << stamps;
}

// Levels 0 to 4 print with their own colour and name (4 in bold blue); levels
// above 4 and negative ones print nothing.
TEST(LogPrint, PrintsOnlyLevelsZeroToFour)
{
    OutputCapture out;
    for (int level : {INT_MIN, -1, 5, 6, 7, 8, 9, 10, 11, 12, INT_MAX})
        logPrint("net", "f", 1, level, "dropped %d\n", level);
    EXPECT_EQ(out.text(), "");
    logPrint("net", "f", 1, 4, "debug\n");
    std::string want = "\x1b[34;1m[T] DEBUG: debug\n\x1b[0m";
    for (int level = 0; level <= 3; ++level) {
        logPrint("net", "f", 1, level, "level %d\n", level);
        want += logLine(level, "level " + std::to_string(level) + "\n");
    }
    EXPECT_EQ(unstamped(out.text()), want);
}

// The message keeps at most 2047 characters; the colour reset still follows.
TEST(LogPrint, CutsMessagesAt2047Characters)
{
    OutputCapture out;
    logPrint("net", "f", 1, 2, "%s\n", std::string(2046, 'a').c_str());
    logPrint("net", "f", 1, 2, "%s\n", std::string(3000, 'b').c_str());
    EXPECT_EQ(unstamped(out.text()),
              logLine(2, std::string(2046, 'a') + "\n") + logLine(2, std::string(2047, 'b')));
}
