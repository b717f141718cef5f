// Feeds arbitrary bytes to the walk over one read of link notifications.
// The records are copied into a heap buffer of exactly the input's length
// (at most one read's worth), 4-byte aligned like the client's buffer, so
// that any read beyond the data is reported.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "client/link_watch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const size_t len = std::min(size, static_cast<size_t>(kNetlinkReadMax));
    // operator new[] aligns for any fundamental type, nlmsghdr's 4 included.
    const std::unique_ptr<char[]> buf(new char[len]);
    if (len > 0)
        memcpy(buf.get(), data, len);
    walkLinkRecords(buf.get(), static_cast<int>(len));
    return 0;
}
