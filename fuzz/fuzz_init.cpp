// Start-up shared by the fuzzers: the code they drive decides and prints but
// runs nothing (no shell, no socket), so it needs no sandbox; the lines it
// logs are thrown away.
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    return 0;
}
