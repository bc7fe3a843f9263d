#pragma once

// A synthetic logger flash for the filesystem tests, built from the documented layout with an
// independent CRC, and a page reader over it that records every request.

#include "remotefs/EccParameters.h"
#include "remotefs/FlashReadResult.h"
#include "remotefs/PlannedPageRead.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <QByteArray>
#include <set>
#include <vector>

namespace flashtest {

using Geo = TC58CYG1S3HxAIDetail::EccParameters;

// Bitwise MSB-first CRC-32, polynomial 0x04C11DB7, no reflection, no final XOR.
inline uint32_t crc32Msb(const uint8_t *data, size_t n, uint32_t crc)
{
    for (size_t i = 0; i < n; ++i) {
        crc ^= uint32_t(data[i]) << 24;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

inline void put32(uint8_t *p, uint32_t v)
{
    std::memcpy(p, &v, 4);
}
inline void put16(uint8_t *p, uint16_t v)
{
    std::memcpy(p, &v, 2);
}
inline void put64(uint8_t *p, uint64_t v)
{
    std::memcpy(p, &v, 8);
}

// A 528-byte record with id and a correct CRC.
inline std::vector<uint8_t> makeRecord(const std::vector<uint8_t> &payload, uint32_t id)
{
    std::vector<uint8_t> r(528, 0);
    std::memcpy(r.data(), payload.data(), std::min<size_t>(payload.size(), 520));
    put32(r.data() + 520, id);
    const uint32_t crc = crc32Msb(r.data() + 520, 4, crc32Msb(r.data(), 522, 0));
    put32(r.data() + 524, crc);
    return r;
}

inline std::vector<uint8_t> payloadWithTag(uint32_t tag)
{
    std::vector<uint8_t> p(520);
    for (size_t i = 0; i < p.size(); ++i)
        p[i] = uint8_t(tag * 31 + i * 7);
    put32(p.data(), tag);  // never a pulse-block magic for small tags
    return p;
}

struct Slot {
    uint32_t id = 0;
    const char *name = "";
    uint32_t type = 1;
    bool inUse = false;
};

struct StateSpec {
    uint64_t sequence = 1;
    uint32_t head = 0;
    uint32_t previous = 0;
    uint32_t reserved1 = 2000, reserved2 = 2001, mapA = 2002, mapB = 2003;
    Slot files[4];
    uint32_t magic = 0xDA8B9265u;
    uint16_t version = 1;
};

inline std::vector<uint8_t> makeState(const StateSpec &s)
{
    std::vector<uint8_t> b(246, 0);
    put32(&b[0], s.magic);
    put16(&b[4], s.version);
    put64(&b[6], s.sequence);
    put32(&b[18], s.head);
    put32(&b[22], s.reserved1);
    put32(&b[26], s.reserved2);
    put32(&b[30], s.mapA);
    put32(&b[34], s.mapB);
    put32(&b[50], s.previous);
    for (int i = 0; i < 4; ++i) {
        uint8_t *f = &b[54 + 48 * i];
        put32(f, s.files[i].id);
        std::strncpy(reinterpret_cast<char *>(f + 4), s.files[i].name, 32);
        put32(f + 36, s.files[i].type);
        f[44] = s.files[i].inUse ? 1 : 0;
    }
    return b;
}

// The 528-byte export the logger answers a state request with.
inline QByteArray makeExport(int32_t mountStatus, const StateSpec &s)
{
    QByteArray e(528, '\0');
    std::memcpy(e.data(), &mountStatus, 4);
    const auto st = makeState(s);
    std::memcpy(e.data() + 4, st.data(), st.size());
    return e;
}

class FlashImage
{
public:
    // Pages in sector layout; absent pages read as erased.
    std::map<uint32_t, std::vector<uint8_t>> pages;
    std::map<uint32_t, uint16_t> pageStatus;  // ReadStatus per page (default Ok)
    std::set<uint32_t> failingPages;          // reads end as Failed

    void writeSector(uint32_t sector, const std::vector<uint8_t> &rec528)
    {
        auto &p = page(Geo::pageOfSector(sector));
        std::memcpy(p.data() + (sector % 4) * 528, rec528.data(), 528);
    }
    // Writes 2048 map data bytes in device order into page `pageIndex`.
    void writeMapPage(uint32_t pageIndex, const std::vector<uint8_t> &bits2048)
    {
        std::vector<uint8_t> dev(2112, 0xFF);
        std::memcpy(dev.data(), bits2048.data(), 2048);
        Geo::deviceToSectorLayout(dev.data());
        pages[pageIndex] = dev;
    }
    std::vector<uint8_t> &page(uint32_t index)
    {
        auto it = pages.find(index);
        if (it == pages.end())
            it = pages.emplace(index, std::vector<uint8_t>(2112, 0xFF)).first;
        return it->second;
    }
};

// The page reader the filesystem template is instantiated with in these tests.
class FakeAdapter
{
public:
    explicit FakeAdapter(FlashImage *image) : m_image(image) {}

    static constexpr uint32_t kReadAheadPages = 16;

    std::vector<uint32_t> pageRequests;
    std::vector<uint32_t> pageHints;
    std::vector<uint32_t> sectorRequests;
    // Each announced walk, with the number of page requests made before it.
    std::vector<std::pair<size_t, std::vector<PlannedPageRead>>> readAheads;

    void readAhead(const std::vector<PlannedPageRead> &pages) { readAheads.emplace_back(pageRequests.size(), pages); }

    FlashReadResult read528(uint32_t sector, uint8_t *dst)
    {
        sectorRequests.push_back(sector);
        const uint32_t page = Geo::pageOfSector(sector);
        if (m_image->failingPages.count(page))
            return FlashReadResult::Failed;
        const uint16_t status = statusOf(page);
        if (status == 3)
            return FlashReadResult::Unreadable;
        auto it = m_image->pages.find(page);
        if (it == m_image->pages.end())
            std::memset(dst, 0xFF, 528);
        else
            std::memcpy(dst, it->second.data() + (sector % 4) * 528, 528);
        return flashReadResultFromStatus(status);
    }

    FlashReadResult readPage(uint32_t page, uint8_t *dst, uint32_t next)
    {
        pageRequests.push_back(page);
        pageHints.push_back(next);
        if (m_image->failingPages.count(page))
            return FlashReadResult::Failed;
        const uint16_t status = statusOf(page);
        if (status == 3)
            return FlashReadResult::Unreadable;
        auto it = m_image->pages.find(page);
        if (it == m_image->pages.end()) {
            std::memset(dst, 0xFF, 2112);
        } else {
            std::memcpy(dst, it->second.data(), 2112);
            Geo::sectorToDeviceLayout(dst);
        }
        return flashReadResultFromStatus(status);
    }

private:
    uint16_t statusOf(uint32_t page) const
    {
        auto it = m_image->pageStatus.find(page);
        return it == m_image->pageStatus.end() ? 0 : it->second;
    }
    FlashImage *m_image;
};

}  // namespace flashtest
