// Small utilities kept beside the client's entry point.
#pragma once

#include <cstddef>

// Current wall-clock time in whole seconds.
long getTimeSec();

// Reads at most n bytes of path into buf: the count read, or -1 when the
// file cannot be opened.
int readFile(const char *path, char *buf, size_t n);
