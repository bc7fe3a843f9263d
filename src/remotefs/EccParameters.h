#pragma once

#include <cstdint>
#include <cstring>

// Geometry of the logger's TC58CYG1S3HxAI SPI NAND as the host sees it through the protocol,
// and the conversions between the chip's page layout (2048 data bytes, then 64 spare bytes)
// and the sector layout the filesystem records use (four 528-byte sectors, each 512 data bytes
// followed by their 16 spare bytes).
namespace TC58CYG1S3HxAIDetail {

struct EccParameters {
    static constexpr uint32_t kPageDataSize = 2048;
    static constexpr uint32_t kPageSpareSize = 64;
    static constexpr uint32_t kPageSize = kPageDataSize + kPageSpareSize;  // 2112
    static constexpr uint32_t kSectorDataSize = 512;
    static constexpr uint32_t kSectorSpareSize = 16;
    static constexpr uint32_t kSectorSize = kSectorDataSize + kSectorSpareSize;  // 528
    static constexpr uint32_t kSectorsPerPage = 4;
    static constexpr uint32_t kPagesPerBlock = 64;
    static constexpr uint32_t kBlockCount = 2048;
    static constexpr uint32_t kPageCount = kPagesPerBlock * kBlockCount;    // 131072
    static constexpr uint32_t kSectorCount = kPageCount * kSectorsPerPage;  // 524288
    static constexpr uint32_t kSectorsPerBlock = kPagesPerBlock * kSectorsPerPage;
    static constexpr uint32_t kNoPage = 0xFFFFFFFFu;

    static_assert(kSectorSize * kSectorsPerPage == kPageSize, "sector layout fills a page");

    static constexpr uint32_t pageOfSector(uint32_t sector) { return sector / kSectorsPerPage; }
    static constexpr uint32_t blockOfPage(uint32_t page) { return page / kPagesPerBlock; }
    static constexpr uint32_t blockOfSector(uint32_t sector) { return sector / kSectorsPerBlock; }
    static constexpr uint32_t firstSectorOfPage(uint32_t page) { return page * kSectorsPerPage; }

    // Addresses wrap around the end of the flash in both directions.
    static constexpr uint32_t nextSector(uint32_t s) { return s + 1 >= kSectorCount ? 0 : s + 1; }
    static constexpr uint32_t previousSector(uint32_t s)
    {
        return s == 0 || s >= kSectorCount ? kSectorCount - 1 : s - 1;
    }
    static constexpr uint32_t nextPage(uint32_t p) { return p + 1 >= kPageCount ? 0 : p + 1; }
    static constexpr uint32_t previousPage(uint32_t p) { return p == 0 || p >= kPageCount ? kPageCount - 1 : p - 1; }
    static constexpr uint32_t nextBlock(uint32_t b) { return b + 1 >= kBlockCount ? 0 : b + 1; }
    static constexpr uint32_t previousBlock(uint32_t b) { return b == 0 || b >= kBlockCount ? kBlockCount - 1 : b - 1; }

    // In place, on a kPageSize buffer: data then spare  ->  four (data, spare) sectors.
    static void deviceToSectorLayout(uint8_t *page)
    {
        uint8_t spare[kPageSpareSize];
        std::memcpy(spare, page + kPageDataSize, kPageSpareSize);
        // Walk backwards so every data run moves into space that is no longer needed.
        for (int n = int(kSectorsPerPage) - 1; n >= 0; --n) {
            std::memmove(page + n * kSectorSize, page + n * kSectorDataSize, kSectorDataSize);
            std::memcpy(page + n * kSectorSize + kSectorDataSize, spare + n * kSectorSpareSize, kSectorSpareSize);
        }
    }

    // In place, on a kPageSize buffer: four (data, spare) sectors  ->  data then spare.
    static void sectorToDeviceLayout(uint8_t *page)
    {
        uint8_t spare[kPageSpareSize];
        for (uint32_t n = 0; n < kSectorsPerPage; ++n)
            std::memcpy(spare + n * kSectorSpareSize, page + n * kSectorSize + kSectorDataSize, kSectorSpareSize);
        for (uint32_t n = 0; n < kSectorsPerPage; ++n)
            std::memmove(page + n * kSectorDataSize, page + n * kSectorSize, kSectorDataSize);
        std::memcpy(page + kPageDataSize, spare, kPageSpareSize);
    }
};

}  // namespace TC58CYG1S3HxAIDetail
