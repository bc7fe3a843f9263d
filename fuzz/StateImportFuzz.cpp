// The filesystem state import and everything that follows from an imported state: the walk of
// the state chain and the record iteration, over a flash whose contents come from the input.
//
// Input: a 528-byte state export, then any number of (u32 sector address, 528-byte record)
// pairs that make up the flash; sectors not given read as erased.
#include "remotefs/EccParameters.h"
#include "remotefs/FlashReadResult.h"
#include "remotefs/SpiFlashFilesystem.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <QCoreApplication>

namespace {

using Geo = TC58CYG1S3HxAIDetail::EccParameters;

class InputFlash
{
public:
    std::map<uint32_t, const uint8_t *> sectors;

    FlashReadResult read528(uint32_t sector, uint8_t *dst)
    {
        if (sector >= Geo::kSectorCount)
            return FlashReadResult::Failed;
        auto it = sectors.find(sector);
        if (it == sectors.end())
            std::memset(dst, 0xFF, Geo::kSectorSize);
        else
            std::memcpy(dst, it->second, Geo::kSectorSize);
        // A byte of the record picks a status now and then, so every result path is taken.
        if (it != sectors.end()) {
            const uint8_t pick = it->second[527] & 0x0F;
            if (pick == 1)
                return FlashReadResult::Unreadable;
            if (pick == 2)
                return FlashReadResult::Corrected;
        }
        return FlashReadResult::Ok;
    }

    FlashReadResult readPage(uint32_t page, uint8_t *dst, uint32_t)
    {
        if (page >= Geo::kPageCount)
            return FlashReadResult::Failed;
        FlashReadResult worst = FlashReadResult::Ok;
        for (uint32_t n = 0; n < Geo::kSectorsPerPage; ++n) {
            const FlashReadResult r = read528(page * 4 + n, dst + n * Geo::kSectorSize);
            worst = worstOf(worst, r == FlashReadResult::Failed ? FlashReadResult::Unreadable : r);
        }
        Geo::sectorToDeviceLayout(dst);
        return worst;
    }

    static constexpr uint32_t kReadAheadPages = 16;

    // Nothing is in flight for an image in memory, but a walk must never plan a read off the flash.
    void readAhead(const std::vector<PlannedPageRead> &pages)
    {
        for (const PlannedPageRead &planned : pages) {
            if (planned.page >= Geo::kPageCount)
                __builtin_trap();
        }
    }
};

using Fs = SpiFlashFilesystem<Geo, InputFlash>;

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool init = [] {
        qInstallMessageHandler(quiet);
        return true;
    }();
    (void)init;
    if (size < 4)
        return 0;
    const size_t exportSize = std::min<size_t>(size, 528);
    const QByteArray exportBytes(reinterpret_cast<const char *>(data), int(exportSize));

    Fs fs;
    for (size_t pos = exportSize; pos + 4 + Geo::kSectorSize <= size; pos += 4 + Geo::kSectorSize) {
        uint32_t sector;
        std::memcpy(&sector, data + pos, 4);
        fs.sectors[sector % Geo::kSectorCount] = data + pos + 4;
    }

    QString message;
    const bool mounted = fs.importState(exportBytes, &message);
    if (!mounted && fs.mountStatus() == 1)
        __builtin_trap();  // success and status must agree

    std::map<uint32_t, SessionEntry> table;
    Fs::ScanHooks hooks;
    int published = 0;
    hooks.found = [&](const RemoteFilesystemSessionPtr &s) {
        ++published;
        if (s->filesize() < 2 * Geo::kSectorSize)
            __builtin_trap();
    };
    fs.scanSessions(table, true, hooks);

    // Walk each session both ways for a bounded number of steps; every step must make progress.
    uint8_t record[528];
    for (const auto &entry : table) {
        if (entry.second.startAddress == SessionEntry::kUnknownAddress)
            continue;
        for (int direction = 0; direction < 2; ++direction) {
            SectorCursor c{entry.first, direction ? entry.second.endAddress : entry.second.startAddress,
                           direction ? entry.second.startAddress : entry.second.endAddress};
            for (int step = 0; step < 64; ++step) {
                const StepResult r = direction ? fs.previousDataBlock(c, record) : fs.nextDataBlock(c, record);
                if (r == StepEnd || r == StepFailed)
                    break;
                if (r == StepFound) {
                    Fs::sessionTimes(record);
                    if (DataBlock::recordId(record) != entry.first)
                        __builtin_trap();
                }
            }
        }
    }
    return 0;
}
