// Start-up shared by the fuzzers: the unit tests' sandbox keeps the code under
// test away from the host ("sys_run_finish" runs the page-cache drop through
// the shell), and the lines it logs are thrown away.
#include <cstdio>
#include <cstdlib>

#include "tests/support/sandbox.h"

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    testsupport::enterSandbox();
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    return 0;
}
