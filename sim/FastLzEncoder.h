#pragma once

// The FastLZ encoder, as the logger's firmware compresses its flash replies; the utility
// itself only decodes (FastLz.h).
namespace FastLz {

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
