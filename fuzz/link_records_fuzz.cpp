// Feeds arbitrary bytes to the walk over one read of link notifications.
// The records are copied into a heap buffer of exactly the input's length
// (at most one read's worth), aligned for any type like the client's buffer
// is for the records, so that any read beyond the data is reported.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/link_watch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<char> buf(data, data + std::min(size, static_cast<size_t>(kNetlinkReadMax)));
    walkLinkRecords(buf.data(), static_cast<int>(buf.size()), true);
    return 0;
}
