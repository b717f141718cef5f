// The one log routine: time-stamped lines on standard output, coloured on a
// terminal, with syslog priorities when standard output is the journal.
#pragma once

#include <array>
#include <span>
#include <string_view>

// Levels index the name and colour tables; only 0 to 4 are printed.
constexpr int kLevelErr = 0;
constexpr int kLevelWarn = 1;
constexpr int kLevelNotice = 2;
constexpr int kLevelInfo = 3;
constexpr int kLevelDebug = 4;
constexpr int kLevelMaxPrinted = kLevelDebug;

// Message text longer than this is cut (the buffer keeps one byte for NUL);
// a cut message whose format ends in "\n" still ends in it.
constexpr int kLogMessageMax = 2047;

// Decides once, at start-up, how lines are written: with a "<N>" priority
// and no colour when JOURNAL_STREAM names standard output (its
// "<st_dev>:<st_ino>"), without colour on a terminal when NO_COLOR is set and
// not empty, coloured as always everywhere else. Until it is called, lines
// are coloured.
void logSetup();

// file, function and line say where the call comes from; they are not printed.
[[gnu::format(printf, 5, 6)]] void logPrint(const char *file, const char *function, int line, int level,
                                            const char *format, ...);

// Room for one escaped text: as much as a log line can show.
using LogText = std::array<char, kLogMessageMax + 1>;

// Writes in into out as text that is safe on one log line: control bytes
// (below 0x20, and 0x7f) as \xNN, a backslash as \\, every other byte (UTF-8
// included) as it is; cut, never inside an escape, to fit out with its NUL.
// Returns out's data.
const char *logEscape(std::string_view in, std::span<char> out);
