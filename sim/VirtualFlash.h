#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <QByteArray>
#include <unordered_map>
#include <vector>

// The logger's SPI NAND (2048 blocks x 64 pages x 2112 bytes), held sparsely: a page that was
// never programmed since its block's last erase is not stored and reads as all 0xFF.
//
// A page is 2048 data bytes followed by 64 spare bytes (the device layout). Sector n (0..3) of a
// page is data bytes 512n..512n+511 followed by spare bytes 2048+16n..2048+16n+15; a sector
// address is page * 4 + n.
//
// Programming follows NAND rules (bits can only go from 1 to 0; an erase sets a whole block back
// to 0xFF). Fault injection can store bytes as they are and give pages a read status.
// Not thread-safe: its owner serialises access.
class VirtualFlash
{
public:
    static constexpr int kPageSize = 2112;
    static constexpr int kPageDataSize = 2048;
    static constexpr int kSpareSize = 64;
    static constexpr int kSectorSize = 528;
    static constexpr int kSectorDataSize = 512;
    static constexpr int kSectorSpareSize = 16;
    static constexpr int kSectorsPerPage = 4;
    static constexpr int kPagesPerBlock = 64;
    static constexpr uint32_t kBlockCount = 2048;
    static constexpr uint32_t kPageCount = kBlockCount * kPagesPerBlock;    // 131072
    static constexpr uint32_t kSectorCount = kPageCount * kSectorsPerPage;  // 524288
    static constexpr uint32_t kSectorsPerBlock = kPagesPerBlock * kSectorsPerPage;

    // What a read of the page reports; the values are those of Network::ReadStatus.
    enum class PageStatus : uint16_t {
        Ok = 0,
        HwFailure = 2,
        ReadFailure = 3,
        EccCorrected = 6,
        EccCorrectedMany = 7,
    };

    using Page = std::array<uint8_t, kPageSize>;

    // Page contents in device layout (2112 bytes; 0xFF when erased). Empty for an index out of
    // range.
    QByteArray page(uint32_t pageIndex) const;
    // The 528 bytes of one sector (512 data then its 16 spare bytes). Empty when out of range.
    QByteArray sector(uint32_t sectorAddress) const;
    // True when the page is not stored or all its bytes are 0xFF.
    bool isErased(uint32_t pageIndex) const;

    // NAND programming: every stored byte becomes (old AND new). False for a bad index or size.
    bool programPage(uint32_t pageIndex, const QByteArray &deviceLayout);
    bool programSector(uint32_t sectorAddress, const QByteArray &bytes528);
    // Fault injection: stores the sector's bytes exactly, as a damaged or torn write leaves them.
    bool overwriteSector(uint32_t sectorAddress, const QByteArray &bytes528);

    bool eraseBlock(uint32_t block);
    void eraseAll();

    // Read status of a page (Ok unless set). Survives erases: it models the cells, not the data.
    void setPageStatus(uint32_t pageIndex, PageStatus status);
    PageStatus pageStatus(uint32_t pageIndex) const;
    void clearPageStatuses();

    // Indices of the pages that hold data (not all 0xFF), ascending.
    std::vector<uint32_t> programmedPages() const;

    // Layout conversions on a 2112-byte buffer: device layout (data then spare) <-> the four
    // 528-byte sectors one after the other.
    static QByteArray toSectorLayout(const QByteArray &deviceLayout);
    static QByteArray toDeviceLayout(const QByteArray &sectorLayout);

private:
    Page &pageForWrite(uint32_t pageIndex);

    std::unordered_map<uint32_t, std::unique_ptr<Page>> m_pages;
    std::map<uint32_t, PageStatus> m_status;
};
