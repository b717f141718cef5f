// Feeds arbitrary bytes to the manager message handling as the connection's
// reads deliver them: pieces of at most 1024 bytes, each in a zeroed buffer
// one byte longer, so the text always ends in a NUL. The handling only
// decides; nothing it is asked to do is carried out.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "client/manager_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    do {
        const size_t piece = std::min(size, static_cast<size_t>(kManagerReadMax));
        std::array<char, kManagerReadMax + 1> buf{};
        if (piece > 0)
            memcpy(buf.data(), data, piece);
        handleManagerMsg(buf.data());
        data += piece;
        size -= piece;
    } while (size > 0);
    return 0;
}
