#include "VirtualFlash.h"

#include <algorithm>
#include <cstring>

QByteArray VirtualFlash::page(uint32_t pageIndex) const
{
    if (pageIndex >= kPageCount)
        return QByteArray();
    const auto it = m_pages.find(pageIndex);
    if (it == m_pages.end())
        return QByteArray(kPageSize, char(0xFF));
    return QByteArray(reinterpret_cast<const char *>(it->second->data()), kPageSize);
}

QByteArray VirtualFlash::sector(uint32_t sectorAddress) const
{
    if (sectorAddress >= kSectorCount)
        return QByteArray();
    const uint32_t n = sectorAddress % kSectorsPerPage;
    const QByteArray p = page(sectorAddress / kSectorsPerPage);
    return p.mid(int(n) * kSectorDataSize, kSectorDataSize) +
           p.mid(kPageDataSize + int(n) * kSectorSpareSize, kSectorSpareSize);
}

bool VirtualFlash::isErased(uint32_t pageIndex) const
{
    const auto it = m_pages.find(pageIndex);
    if (it == m_pages.end())
        return true;
    return std::all_of(it->second->begin(), it->second->end(), [](uint8_t b) { return b == 0xFF; });
}

VirtualFlash::Page &VirtualFlash::pageForWrite(uint32_t pageIndex)
{
    auto &slot = m_pages[pageIndex];
    if (!slot) {
        slot = std::make_unique<Page>();
        slot->fill(0xFF);
    }
    return *slot;
}

bool VirtualFlash::programPage(uint32_t pageIndex, const QByteArray &deviceLayout)
{
    if (pageIndex >= kPageCount || deviceLayout.size() != kPageSize)
        return false;
    Page &p = pageForWrite(pageIndex);
    for (int i = 0; i < kPageSize; ++i)
        p[size_t(i)] &= uint8_t(deviceLayout[i]);
    return true;
}

bool VirtualFlash::programSector(uint32_t sectorAddress, const QByteArray &bytes528)
{
    if (sectorAddress >= kSectorCount || bytes528.size() != kSectorSize)
        return false;
    Page &p = pageForWrite(sectorAddress / kSectorsPerPage);
    const int n = int(sectorAddress % kSectorsPerPage);
    const auto *src = reinterpret_cast<const uint8_t *>(bytes528.constData());
    for (int i = 0; i < kSectorDataSize; ++i)
        p[size_t(n * kSectorDataSize + i)] &= src[i];
    for (int i = 0; i < kSectorSpareSize; ++i)
        p[size_t(kPageDataSize + n * kSectorSpareSize + i)] &= src[kSectorDataSize + i];
    return true;
}

bool VirtualFlash::overwriteSector(uint32_t sectorAddress, const QByteArray &bytes528)
{
    if (sectorAddress >= kSectorCount || bytes528.size() != kSectorSize)
        return false;
    Page &p = pageForWrite(sectorAddress / kSectorsPerPage);
    const int n = int(sectorAddress % kSectorsPerPage);
    std::memcpy(p.data() + n * kSectorDataSize, bytes528.constData(), kSectorDataSize);
    std::memcpy(p.data() + kPageDataSize + n * kSectorSpareSize, bytes528.constData() + kSectorDataSize,
                kSectorSpareSize);
    return true;
}

bool VirtualFlash::eraseBlock(uint32_t block)
{
    if (block >= kBlockCount)
        return false;
    for (uint32_t i = 0; i < uint32_t(kPagesPerBlock); ++i)
        m_pages.erase(block * kPagesPerBlock + i);
    return true;
}

void VirtualFlash::eraseAll()
{
    m_pages.clear();
}

void VirtualFlash::setPageStatus(uint32_t pageIndex, PageStatus status)
{
    if (pageIndex >= kPageCount)
        return;
    if (status == PageStatus::Ok)
        m_status.erase(pageIndex);
    else
        m_status[pageIndex] = status;
}

VirtualFlash::PageStatus VirtualFlash::pageStatus(uint32_t pageIndex) const
{
    const auto it = m_status.find(pageIndex);
    return it == m_status.end() ? PageStatus::Ok : it->second;
}

void VirtualFlash::clearPageStatuses()
{
    m_status.clear();
}

std::vector<uint32_t> VirtualFlash::programmedPages() const
{
    std::vector<uint32_t> out;
    out.reserve(m_pages.size());
    for (const auto &entry : m_pages) {
        if (!isErased(entry.first))
            out.push_back(entry.first);
    }
    std::sort(out.begin(), out.end());
    return out;
}

QByteArray VirtualFlash::toSectorLayout(const QByteArray &deviceLayout)
{
    if (deviceLayout.size() != kPageSize)
        return QByteArray();
    QByteArray out;
    out.reserve(kPageSize);
    for (int n = 0; n < kSectorsPerPage; ++n) {
        out += deviceLayout.mid(n * kSectorDataSize, kSectorDataSize);
        out += deviceLayout.mid(kPageDataSize + n * kSectorSpareSize, kSectorSpareSize);
    }
    return out;
}

QByteArray VirtualFlash::toDeviceLayout(const QByteArray &sectorLayout)
{
    if (sectorLayout.size() != kPageSize)
        return QByteArray();
    QByteArray data, spare;
    for (int n = 0; n < kSectorsPerPage; ++n) {
        data += sectorLayout.mid(n * kSectorSize, kSectorDataSize);
        spare += sectorLayout.mid(n * kSectorSize + kSectorDataSize, kSectorSpareSize);
    }
    return data + spare;
}
