// The one log routine: coloured, time-stamped lines on standard output.
#pragma once

// Levels index the name and colour tables; only 0 to 4 are printed.
constexpr int kLevelErr = 0;
constexpr int kLevelWarn = 1;
constexpr int kLevelNotice = 2;
constexpr int kLevelInfo = 3;
constexpr int kLevelDebug = 4;
constexpr int kLevelMaxPrinted = kLevelDebug;

// Message text longer than this is cut (the buffer keeps one byte for NUL).
constexpr int kLogMessageMax = 2047;

// file, function and line say where the call comes from; they are not printed.
[[gnu::format(printf, 5, 6)]] void logPrint(const char *file, const char *function, int line, int level,
                                            const char *format, ...);
