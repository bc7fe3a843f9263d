#pragma once

#include <cstdint>

// One page a sequential walk of the flash is going to read, with the next-page hint that read
// carries to the logger.
struct PlannedPageRead {
    uint32_t page = 0;
    uint32_t nextPageHint = 0xFFFFFFFFu;
};
