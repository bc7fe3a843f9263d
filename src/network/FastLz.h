#pragma once

#include <cstdint>

// FastLZ block codec, levels 1 and 2. A block carries no sizes: the reader supplies the output
// capacity and compares the result with the size it expects.
namespace FastLz {

// Decodes one block. Returns the number of bytes produced, or 0 for an empty, malformed or
// truncated block or one whose output would not fit in `capacity`. Never reads outside
// [input, input + inputLength) nor writes outside [output, output + capacity). A block cut
// exactly between two instructions decodes to fewer bytes: callers check the size.
int decompress(const void *input, int inputLength, void *output, int capacity);

// Worst-case size of a compressed block of `length` bytes (incompressible data).
constexpr int maxCompressedSize(int length)
{
    return length <= 0 ? 0 : length + (length + 31) / 32;
}

// Encodes `length` bytes at level 1 or 2 (any other level is treated as 1) into `output`, which
// must hold maxCompressedSize(length) bytes. Returns the block size (0 for empty input).
// The output matches the reference encoder byte for byte.
int compress(int level, const void *input, int length, void *output);

}  // namespace FastLz
