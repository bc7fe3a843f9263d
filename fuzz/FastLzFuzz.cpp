// Decodes arbitrary blocks into an exactly sized heap buffer (so any write past the capacity
// is caught) and checks that whatever decodes re-encodes and round-trips.
#include "network/FastLz.h"
#include "sim/FastLzEncoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // First two bytes choose the capacity (0 .. 65535); the rest is the block.
    const int capacity = int(data[0] | data[1] << 8) % 9000;
    const uint8_t *block = data + 2;
    const int blockSize = int(size - 2);
    std::vector<uint8_t> copy(block, block + blockSize);
    uint8_t *out = capacity > 0 ? static_cast<uint8_t *>(malloc(size_t(capacity))) : nullptr;
    const int n = FastLz::decompress(copy.data(), blockSize, out, capacity);
    if (n < 0 || n > capacity)
        abort();
    if (n > 0) {
        for (int level : {1, 2}) {
            std::vector<uint8_t> enc(size_t(FastLz::maxCompressedSize(n)));
            const int m = FastLz::compress(level, out, n, enc.data());
            if (m <= 0 || m > int(enc.size()))
                abort();
            std::vector<uint8_t> back(static_cast<size_t>(n));
            if (FastLz::decompress(enc.data(), m, back.data(), n) != n || std::memcmp(back.data(), out, size_t(n)) != 0)
                abort();
        }
    }
    free(out);
    return 0;
}
