// Small checks shared by the unit tests: log lines compared byte for byte
// with their time stamps masked, and elapsed time.
#pragma once

#include <chrono>
#include <regex>
#include <string>

namespace testsupport {

// The text with every "[y-m-d h:m:s]" time stamp replaced by "[T]".
inline std::string unstamped(const std::string &text)
{
    static const std::regex stamp(R"(\[\d+-\d+-\d+ \d+:\d+:\d+\])");
    return std::regex_replace(text, stamp, "[T]");
}

// One printed log line (level 0 to 4) as the log writes it, its stamp masked.
inline std::string logLine(int level, const std::string &message)
{
    static const char *const colours[] = {"[31;1m", "[35;1m", "[36;1m", "[32;1m", "[34;1m"};
    static const char *const names[] = {"ERR", "WARN", "NOTICE", "INFO", "DEBUG"};
    return "\x1b" + std::string(colours[level]) + "[T] " + names[level] + ": " + message + "\x1b[0m";
}

inline double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace testsupport
