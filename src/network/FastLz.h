#pragma once

#include <cstdint>

// FastLZ block decoder, levels 1 and 2 (the encoder belongs to the virtual logger). A block
// carries no sizes: the reader supplies the output capacity and compares the result with the
// size it expects.
namespace FastLz {

// Decodes one block. Returns the number of bytes produced, or 0 for an empty, malformed or
// truncated block or one whose output would not fit in `capacity`. Never reads outside
// [input, input + inputLength) nor writes outside [output, output + capacity). A block cut
// exactly between two instructions decodes to fewer bytes: callers check the size.
int decompress(const void *input, int inputLength, void *output, int capacity);

}  // namespace FastLz
