// Feeds arbitrary bytes to the manager message handling as one read of the
// connection delivers them: at most 1024 bytes, ending in a NUL, in a heap
// buffer of exactly that size so that any read beyond it is reported. The
// handling only decides; nothing it is asked to do is carried out.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/manager_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data),
                           std::min(size, static_cast<size_t>(kManagerReadMax)));
    handleManagerMsg(text.c_str(), SYS_STATE_IDLE, {});
    return 0;
}
