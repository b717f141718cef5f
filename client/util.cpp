#include "client/util.h"

#include <cstdio>
#include <sys/time.h>

long getTimeSec()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return now.tv_sec;
}

int readFile(const char *path, char *buf, size_t n)
{
    FILE *file = fopen(path, "r");
    if (file == nullptr)
        return -1;
    const size_t got = fread(buf, 1, n, file);
    fclose(file);
    return static_cast<int>(got);
}
