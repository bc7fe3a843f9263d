#pragma once

#include "FileRecord.h"
#include "RemoteFilesystemSession.h"

#include <cstdint>

// One file of a session scan, keyed by file id in the scan's table.
struct SessionEntry {
    static constexpr uint32_t kUnknownAddress = 0xFFFFFFFFu;

    uint32_t startAddress = kUnknownAddress;
    uint32_t endAddress = kUnknownAddress;
    FileRecord record;
    RemoteFilesystemSessionPtr session;  // set once published
};
