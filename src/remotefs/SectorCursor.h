#pragma once

#include <cstdint>

// Position of an iteration over one file's records: the file id, the next sector to look at
// and the sector at which to stop (exclusive). A forward walk through the whole range has the
// pages ahead of it requested early; a search that stops at the first record it finds would
// only waste the line on them, and turns that off.
struct SectorCursor {
    uint32_t fileId = 0;
    uint32_t current = 0;
    uint32_t stop = 0;
    bool readAhead = true;
};

enum StepResult {
    StepFailed = 0,   // not mounted, or a read failed
    StepSkipped = 1,  // unreadable page or a record with a bad CRC; the cursor moved on
    StepFound = 2,    // a record of this file; the cursor points past it
    StepNewPage = 3,  // the cursor left the loaded page; call again
    StepEnd = 4,      // the cursor reached its stop address
};
