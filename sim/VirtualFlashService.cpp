#include "VirtualFlashService.h"

#include "FastLzEncoder.h"
#include "network/Network.h"
#include "PulseBlockEncoder.h"
#include "SeededRandom.h"
#include "WaterUseProfile.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <set>

namespace {

using PageStatus = VirtualFlash::PageStatus;

constexpr uint32_t kNoPage = 0xFFFFFFFFu;
// The firmware generations that brought the compressed sector read and the page read.
constexpr uint32_t kFirstLzSectorPatch = 4162;
constexpr uint32_t kLastSectorOnlyPatch = 4251;

void appendU16(QByteArray &b, uint16_t v)
{
    b.append(char(v));
    b.append(char(v >> 8));
}

void appendU32(QByteArray &b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.append(char(v >> (8 * i)));
}

uint16_t getU16(const QByteArray &b, int at)
{
    return uint16_t(uint8_t(b[at]) | (uint8_t(b[at + 1]) << 8));
}

uint32_t getU32(const QByteArray &b, int at)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t(uint8_t(b[at + i])) << (8 * i);
    return v;
}

bool dataValid(PageStatus s)
{
    return s == PageStatus::Ok || s == PageStatus::EccCorrected || s == PageStatus::EccCorrectedMany;
}

QString sessionName(int64_t startMs)
{
    return QStringLiteral("log_") +
           QDateTime::fromMSecsSinceEpoch(startMs, Qt::UTC).toString(QStringLiteral("yyyyMMdd_HHmm"));
}

}  // namespace

QByteArray VirtualFlashService::SessionTruth::rawLog() const
{
    QByteArray out;
    out.reserve(int(records.size()) * FlashFilesystemWriter::kPayloadSize);
    for (const QByteArray &r : records)
        out += r;
    return out;
}

std::vector<QByteArray> VirtualFlashService::SessionTruth::expectedDownload() const
{
    std::vector<QByteArray> out;
    for (size_t i = 0; i < records.size(); ++i) {
        if (i < recordReadable.size() && recordReadable[i])
            out.push_back(records[i]);
    }
    return out;
}

const VirtualFlashService::SessionTruth *VirtualFlashService::GroundTruth::session(uint32_t index) const
{
    for (const SessionTruth &s : sessions) {
        if (s.index == index)
            return &s;
    }
    return nullptr;
}

std::vector<const VirtualFlashService::SessionTruth *> VirtualFlashService::GroundTruth::closedSessions() const
{
    std::vector<const SessionTruth *> out;
    for (const SessionTruth &s : sessions) {
        if (!s.open)
            out.push_back(&s);
    }
    return out;
}

VirtualFlashService::VirtualFlashService() : VirtualFlashService(Scenario()) {}

VirtualFlashService::VirtualFlashService(const Scenario &scenario) : m_scenario(scenario)
{
    m_scenario.closedSessions = std::clamp(m_scenario.closedSessions, 0, 1000);
    m_scenario.blockMinutes = std::max(1, m_scenario.blockMinutes);
    m_scenario.commitEveryRecords = std::max(1, m_scenario.commitEveryRecords);
    if (!(m_scenario.minSessionDays > 0))
        m_scenario.minSessionDays = 0.1;
    m_scenario.maxSessionDays = std::max(m_scenario.maxSessionDays, m_scenario.minSessionDays);
    m_scenario.openSessionHours = std::max(0.0, m_scenario.openSessionHours);
    build();
}

VirtualFlashService::~VirtualFlashService() = default;

void VirtualFlashService::setTiming(const Timing &timing)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timing = timing;
    m_timing.createSteps = std::max(1, m_timing.createSteps);
}

void VirtualFlashService::build()
{
    WaterUseProfile::Options options;
    options.seed = m_scenario.seed;
    options.leak = m_scenario.leak;
    options.flapper = m_scenario.flapper;
    options.litresPerPulse = m_scenario.litresPerPulse;
    options.utcOffsetMinutes = m_scenario.utcOffsetMinutes;
    const WaterUseProfile profile(options);

    SeededRandom rng(SeededRandom::mix(uint64_t(m_scenario.seed) + 0x5E55104Eull));
    const int total = m_scenario.closedSessions + 1;
    int64_t t = m_scenario.startTimeMs;
    const int64_t blockTenths = int64_t(m_scenario.blockMinutes) * WaterUseProfile::kTenthsPerMinute;

    for (int s = 0; s < total; ++s) {
        const bool open = s == total - 1;
        const double days = open ? m_scenario.openSessionHours / 24.0
                                 : rng.uniform(m_scenario.minSessionDays, m_scenario.maxSessionDays);
        const int64_t startMs = t;
        const int64_t endMs = startMs + int64_t(days * 86400000.0);
        EncodedSession e;
        e.name = m_scenario.sessionName.isEmpty() ? sessionName(startMs) : m_scenario.sessionName;
        e.combinedTransition = rng.chance(0.5);
        const int age = total - 1 - s;
        e.kind = m_scenario.blockKind >= 0 && m_scenario.blockKind <= 2 ? m_scenario.blockKind
                 : age % 3 == 2                                         ? 0
                 : age % 3 == 1                                         ? 1
                                                                        : 2;
        const auto kind = PulseBlockEncoder::Kind(e.kind);

        const int64_t startTenths = startMs / 100;
        const int64_t endTenths = std::max(startTenths + 1, endMs / 100);
        const auto pulses = profile.pulses(startTenths, endTenths);

        auto newBlock = [&](int64_t base) {
            PulseBlockEncoder enc(kind, base);
            // The reading is taken while the block opens, a few milliseconds into its tenth.
            const int64_t envNanos = base * 100000000 + int64_t((base * 7919) % 97) * 1000000;
            const WaterUseProfile::Environment env = profile.environmentAt(envNanos);
            enc.setEnvironment(PulseBlockEncoder::millivolts(env.volts),
                               PulseBlockEncoder::temperatureCode(env.celsius), envNanos);
            return enc;
        };
        auto finishBlock = [&e](const PulseBlockEncoder &enc) {
            if (e.payloads.empty())
                e.firstTimeMs = enc.baseTenths() * 100;
            e.lastTimeMs = enc.lastPulseTenths() * 100;
            e.payloads.push_back(enc.payload());
        };

        PulseBlockEncoder::encodeInBlocks(pulses, startTenths, endTenths, blockTenths, newBlock, finishBlock);
        // The uses as the saved log shows them: from its first block to its last pulse.
        e.uses = profile.uses(e.firstTimeMs / 100, e.lastTimeMs / 100 + 1);
        m_encoded.push_back(std::move(e));
        t = endMs + int64_t(rng.uniform(2, 30) * 3600000.0);
    }

    const int wrapSession = m_scenario.wrapAround && m_scenario.closedSessions > 0 ? m_scenario.closedSessions / 2 : -1;
    if (wrapSession >= 0) {
        // A dry run finds how far into the stream the middle of that session lies; the real
        // run then starts that far before the end of the flash.
        uint64_t consumed = 0;
        writeScenario(FlashFilesystemWriter::kNoSector, wrapSession, &consumed);
        const uint64_t lowest = 4 * uint64_t(VirtualFlash::kSectorsPerBlock);
        if (consumed > 0 && consumed < VirtualFlash::kSectorCount - lowest) {
            writeScenario(uint32_t(VirtualFlash::kSectorCount - consumed), -1, nullptr);
            return;
        }
    }
    writeScenario(FlashFilesystemWriter::kNoSector, -1, nullptr);
}

bool VirtualFlashService::writeScenario(uint32_t firstSector, int wrapSession, uint64_t *consumedAtWrapPoint)
{
    m_flash = std::make_unique<VirtualFlash>();
    m_writer = std::make_unique<FlashFilesystemWriter>(m_flash.get());
    m_encodedSessions.clear();
    if (!m_writer->format(FlashFilesystemWriter::Layout(), firstSector))
        return false;

    uint32_t previous = 0;
    for (size_t s = 0; s < m_encoded.size(); ++s) {
        const EncodedSession &e = m_encoded[s];
        uint32_t id = 0;
        if (previous == 0) {
            id = m_writer->openFile(e.name);
        } else if (e.combinedTransition) {
            id = m_writer->closeAndOpen(previous, e.name);
        } else if (m_writer->closeFile(previous)) {
            id = m_writer->openFile(e.name);
        }
        if (id == 0)
            return false;
        m_encodedSessions[id] = s;
        const size_t n = e.payloads.size();
        const bool closed = s + 1 < m_encoded.size();
        for (size_t r = 0; r < n; ++r) {
            if (closed && int(s) < m_scenario.unusablePages && r == n / 3) {
                // A page a little ahead of the head, inside this session's stretch.
                m_writer->markPageUnusable(m_writer->head() / VirtualFlash::kSectorsPerPage + 2);
            }
            if (int(s) == wrapSession && r == n / 2 && consumedAtWrapPoint)
                *consumedAtWrapPoint = m_writer->sectorsConsumed();
            if (m_writer->appendRecord(id, e.payloads[r]) == FlashFilesystemWriter::kNoSector)
                return false;
            if ((r + 1) % size_t(m_scenario.commitEveryRecords) == 0 && r + 1 < n)
                m_writer->commit();
        }
        previous = id;
    }
    return true;
}

bool VirtualFlashService::handles(uint16_t packetType) const
{
    switch (packetType) {
    case Network::C2S_FlashGetState:
    case Network::C2S_FlashRead528:
    case Network::C2S_FlashReadLz528:
    case Network::C2S_FlashReadPage:
    case Network::C2S_FlashCreate:
    case Network::C2S_FlashCommitNow:
        return true;
    default:
        return false;
    }
}

bool VirtualFlashService::handlePacket(const QByteArray &packet, uint32_t patchLevel, const SendFunction &send)
{
    bool handled = false;
    std::vector<Reply> replies;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        replies = handleLocked(packet, patchLevel, &handled);
    }
    if (send) {
        for (const Reply &r : replies)
            send(r.packet, r.delayMs);
    }
    return handled;
}

bool VirtualFlashService::busyLocked() const
{
    return std::chrono::steady_clock::now() < m_busyUntil;
}

bool VirtualFlashService::countRequest(uint16_t type, uint16_t requestId, uint32_t address)
{
    const bool resend = type == m_lastType && requestId == m_lastRequestId && address == m_lastAddress;
    m_lastType = type;
    m_lastRequestId = requestId;
    m_lastAddress = address;
    if (!resend)
        ++m_totalRequests;
    return !resend;
}

std::vector<VirtualFlashService::Reply> VirtualFlashService::handleLocked(const QByteArray &packet, uint32_t patchLevel,
                                                                          bool *handled)
{
    std::vector<Reply> out;
    *handled = false;
    if (packet.size() < int(sizeof(Network::PacketBase)))
        return out;
    const uint16_t type = getU16(packet, 0);
    const uint16_t requestId = getU16(packet, 6);

    switch (type) {
    case Network::C2S_FlashGetState:
        out.push_back({Network::encodePacket(Network::S2C_FlashGetStateResult, requestId, m_writer->stateExport()), 0});
        break;
    case Network::C2S_FlashRead528:
    case Network::C2S_FlashReadLz528:
        if (!readSectorLocked(packet, type, requestId, patchLevel, &out))
            return out;
        break;
    case Network::C2S_FlashReadPage:
        if (!readPageLocked(packet, requestId, patchLevel, &out))
            return out;
        break;
    case Network::C2S_FlashCreate:
        createLocked(requestId, &out);
        break;
    case Network::C2S_FlashCommitNow:
        m_writer->commit();
        out.push_back({Network::encodePacket(Network::S2C_FlashCommitNowAck, requestId), 0});
        break;
    default:
        return out;
    }
    *handled = true;
    return out;
}

uint16_t VirtualFlashService::readStatusLocked(uint32_t page, bool inRangeAddress) const
{
    if (!inRangeAddress)
        return uint16_t(Network::ReadStatus::BadRequest);
    if (busyLocked())
        return uint16_t(Network::ReadStatus::Busy);
    return uint16_t(m_flash->pageStatus(page));
}

bool VirtualFlashService::readSectorLocked(const QByteArray &packet, uint16_t type, uint16_t requestId,
                                           uint32_t patchLevel, std::vector<Reply> *out)
{
    if (packet.size() < int(sizeof(Network::C2S_FlashRead528Packet)))
        return false;
    const bool lz = type == Network::C2S_FlashReadLz528;
    if (lz && patchLevel < kFirstLzSectorPatch)
        return false;
    const uint32_t sector = getU32(packet, 8);
    const bool ok = sector < VirtualFlash::kSectorCount;
    if (ok && countRequest(type, requestId, sector))
        ++m_sectorRequests[sector];
    const uint16_t status = readStatusLocked(sector / VirtualFlash::kSectorsPerPage, ok);
    const bool valid = dataValid(PageStatus(status));
    const QByteArray data = valid ? m_flash->sector(sector) : QByteArray(VirtualFlash::kSectorSize, char(0xFF));
    QByteArray body;
    if (!lz) {
        appendU32(body, sector);
        appendU16(body, status);
        body += data;
        out->push_back(
            {Network::encodePacket(Network::S2C_FlashRead528Result, requestId, body), m_timing.sectorReadMs});
        return true;
    }
    QByteArray bytes;
    uint8_t compressed = 0;
    if (valid) {
        QByteArray packed(FastLz::maxCompressedSize(data.size()), '\0');
        const int n = FastLz::compress(1, data.constData(), data.size(), packed.data());
        if (n > 0 && n < data.size()) {
            bytes = packed.left(n);
            compressed = 1;
        } else {
            bytes = data;
        }
    }
    appendU16(body, uint16_t(bytes.size()));
    appendU32(body, sector);
    appendU16(body, status);
    body.append(char(compressed));
    body += bytes;
    out->push_back({Network::encodePacket(Network::S2C_FlashReadLz528Result, requestId, body), m_timing.sectorReadMs});
    return true;
}

bool VirtualFlashService::readPageLocked(const QByteArray &packet, uint16_t requestId, uint32_t patchLevel,
                                         std::vector<Reply> *out)
{
    if (packet.size() < int(sizeof(Network::C2S_FlashReadPagePacket)) || patchLevel <= kLastSectorOnlyPatch)
        return false;
    const uint32_t page = getU32(packet, 8);
    const uint32_t next = getU32(packet, 12);
    const uint8_t compression = uint8_t(packet[16]);
    const bool ok = page < VirtualFlash::kPageCount;
    if (ok && countRequest(Network::C2S_FlashReadPage, requestId, page))
        ++m_pageRequests[page];
    const uint16_t status = readStatusLocked(page, ok);
    QByteArray bytes;
    uint8_t flag = 0;
    if (dataValid(PageStatus(status))) {
        const QByteArray data = m_flash->page(page);
        bytes = data;
        if (compression != 0) {
            const int level = compression == 2 ? 2 : 1;
            QByteArray packed(FastLz::maxCompressedSize(data.size()), '\0');
            const int n = FastLz::compress(level, data.constData(), data.size(), packed.data());
            if (n > 0 && n < data.size()) {
                bytes = packed.left(n);
                flag = uint8_t(level);
            }
        }
    }
    const int delay = page == m_preparedPage ? m_timing.preparedPageMs : m_timing.pageReadMs;
    m_preparedPage = next;
    QByteArray body;
    appendU16(body, uint16_t(bytes.size()));
    appendU32(body, page);
    appendU16(body, status);
    body.append(char(flag));
    body += bytes;
    out->push_back({Network::encodePacket(Network::S2C_FlashReadPageResult, requestId, body), delay});
    return true;
}

// The format runs in the background: progress and result are replies scheduled over its run.
void VirtualFlashService::createLocked(uint16_t requestId, std::vector<Reply> *out)
{
    out->push_back({Network::encodePacket(Network::S2C_FlashCreateAck, requestId), 0});
    if (busyLocked())
        return;  // a resend while the format runs: acknowledged, not restarted
    m_createRequestId = requestId;
    const bool formatted = formatAfterCreate();
    const int steps = std::max(1, m_timing.createSteps);
    for (int i = 1; i <= steps; ++i) {
        QByteArray progress;
        appendU16(progress, uint16_t(65535u * uint32_t(i) / uint32_t(steps)));
        out->push_back(
            {Network::encodePacketWithoutId(Network::S2C_FlashCreateProgress, progress), i * m_timing.createStepMs});
    }
    QByteArray result;
    appendU16(result, formatted ? 0 : 1);
    const int total = (steps + 1) * m_timing.createStepMs;
    out->push_back({Network::encodePacket(Network::S2C_FlashCreateResult, requestId, result), total});
    // The logger is done formatting when it reports the result. The replies are timed from when the
    // request arrived, which can be a little before now: ending the busy time with the last progress
    // step keeps it from outlasting the result the host acts on.
    m_busyUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(steps * m_timing.createStepMs);
}

bool VirtualFlashService::formatAfterCreate()
{
    const std::set<uint32_t> unusable = m_writer->unusablePages();
    m_writer = std::make_unique<FlashFilesystemWriter>(m_flash.get());
    for (uint32_t p : unusable)
        m_writer->markPageUnusable(p);
    m_encodedSessions.clear();
    m_preparedPage = kNoPage;
    if (!m_writer->format())
        return false;
    // The logger goes on logging into a fresh session.
    return m_writer->openFile(QStringLiteral("log_%1").arg(1, 5, 10, QLatin1Char('0'))) != 0;
}

uint32_t VirtualFlashService::sectorRequestCount(uint32_t sector) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_sectorRequests.find(sector);
    return it == m_sectorRequests.end() ? 0 : it->second;
}

uint32_t VirtualFlashService::pageRequestCount(uint32_t page) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_pageRequests.find(page);
    return it == m_pageRequests.end() ? 0 : it->second;
}

uint32_t VirtualFlashService::sectorFetchCount(uint32_t sector) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    uint32_t n = 0;
    const auto s = m_sectorRequests.find(sector);
    if (s != m_sectorRequests.end())
        n += s->second;
    const auto p = m_pageRequests.find(sector / VirtualFlash::kSectorsPerPage);
    if (p != m_pageRequests.end())
        n += p->second;
    return n;
}

std::map<uint32_t, uint32_t> VirtualFlashService::sectorsFetchedMoreThanOnce() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::map<uint32_t, uint32_t> counts = m_sectorRequests;
    for (const auto &p : m_pageRequests) {
        for (uint32_t n = 0; n < uint32_t(VirtualFlash::kSectorsPerPage); ++n)
            counts[p.first * VirtualFlash::kSectorsPerPage + n] += p.second;
    }
    std::map<uint32_t, uint32_t> out;
    for (const auto &c : counts) {
        if (c.second > 1)
            out.insert(c);
    }
    return out;
}

std::map<uint32_t, uint32_t> VirtualFlashService::sectorsRequestedMoreThanOnce() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::map<uint32_t, uint32_t> out;
    for (const auto &c : m_sectorRequests) {
        if (c.second > 1)
            out.insert(c);
    }
    return out;
}

std::map<uint32_t, uint32_t> VirtualFlashService::pagesRequestedMoreThanOnce() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::map<uint32_t, uint32_t> out;
    for (const auto &c : m_pageRequests) {
        if (c.second > 1)
            out.insert(c);
    }
    return out;
}

uint32_t VirtualFlashService::totalReadRequests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_totalRequests;
}

void VirtualFlashService::resetCounters()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sectorRequests.clear();
    m_pageRequests.clear();
    m_totalRequests = 0;
    m_lastType = 0;
    m_lastRequestId = 0;
    m_lastAddress = kNoPage;
}

void VirtualFlashService::setPageStatus(uint32_t page, VirtualFlash::PageStatus status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_flash->setPageStatus(page, status);
}

uint32_t VirtualFlashService::setRecordPageStatus(uint32_t sessionIndex, int record, VirtualFlash::PageStatus status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const FlashFilesystemWriter::FileInfo *f = m_writer->file(sessionIndex);
    if (!f || record < 0 || size_t(record) >= f->recordSectors.size())
        return kNoPage;
    const uint32_t page = f->recordSectors[size_t(record)] / VirtualFlash::kSectorsPerPage;
    m_flash->setPageStatus(page, status);
    return page;
}

bool VirtualFlashService::corruptRecordCrc(uint32_t sessionIndex, int record)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const FlashFilesystemWriter::FileInfo *f = m_writer->file(sessionIndex);
    if (!f || record < 0 || size_t(record) >= f->recordSectors.size())
        return false;
    return m_writer->corruptRecordCrc(f->recordSectors[size_t(record)]);
}

bool VirtualFlashService::breakStateChainBefore(uint32_t sessionIndex, FlashFilesystemWriter::ChainBreak how)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const FlashFilesystemWriter::FileInfo *f = m_writer->file(sessionIndex);
    if (!f)
        return false;
    const auto &states = m_writer->stateRecords();
    for (size_t i = 1; i < states.size(); ++i) {
        if (states[i].sector != f->startSector)
            continue;
        return m_writer->breakStateRecord(states[i - 1].sector, how);
    }
    return false;
}

void VirtualFlashService::clearMapBit(uint32_t page)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_writer->markPageUnusable(page);
}

VirtualFlashService::Stats VirtualFlashService::stats() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Stats s;
    s.percentUsed = m_writer->percentUsed();
    s.unusablePageCount = uint32_t(m_writer->unusablePages().size());
    for (const auto &f : m_writer->files()) {
        if (f.open)
            s.openSessionIndex = f.id;
    }
    return s;
}

QByteArray VirtualFlashService::page(uint32_t pageIndex) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_flash->page(pageIndex);
}

VirtualFlashService::GroundTruth VirtualFlashService::groundTruth() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return groundTruthLocked();
}

VirtualFlashService::GroundTruth VirtualFlashService::groundTruthLocked() const
{
    GroundTruth gt;
    gt.stateExport = m_writer->stateExport();
    gt.sectorsConsumed = m_writer->sectorsConsumed();
    gt.usableSectors = m_writer->usableSectors();
    gt.percentUsed = m_writer->percentUsed();
    const auto &unusable = m_writer->unusablePages();

    // Walk the chain from the live state as a host does: a link ends at an unreadable or blank
    // sector, a bad CRC, a foreign magic or a sequence number that is not older.
    std::set<uint32_t> reached;
    uint32_t oldest = m_writer->head();
    {
        uint64_t sequence = uint64_t(getU32(gt.stateExport, 10)) | (uint64_t(getU32(gt.stateExport, 14)) << 32);
        uint32_t link = m_writer->lastStateSector();
        while (link != 0 && !reached.count(link)) {
            const QByteArray r = m_flash->sector(link);
            if (!dataValid(m_flash->pageStatus(link / VirtualFlash::kSectorsPerPage)) ||
                r.count(char(0xFF)) == r.size() || !FlashFilesystemWriter::recordCrcValid(r) ||
                getU32(r, 0) != FlashFilesystemWriter::kStateMagic ||
                getU16(r, 4) != FlashFilesystemWriter::kLayoutVersion)
                break;
            const uint64_t seq = uint64_t(getU32(r, 6)) | (uint64_t(getU32(r, 10)) << 32);
            if (seq >= sequence)
                break;
            reached.insert(link);
            oldest = link;
            sequence = seq;
            link = getU32(r, 50);
        }
    }
    const auto &states = m_writer->stateRecords();
    auto previousState = [&states](uint32_t sector) {
        for (size_t i = 1; i < states.size(); ++i) {
            if (states[i].sector == sector)
                return states[i - 1].sector;
        }
        return FlashFilesystemWriter::kNoSector;
    };

    for (const FlashFilesystemWriter::FileInfo &f : m_writer->files()) {
        SessionTruth s;
        s.index = f.id;
        s.name = f.name;
        s.fileType = f.type;
        s.open = f.open;
        s.startSector = f.startSector;
        s.endSector = f.open ? m_writer->head() : f.endSector;
        // The scan learns a file's end from the pair (closing record, the one before it) and
        // its start from (opening record, the one before it), or takes the oldest record reached.
        s.listed = !f.open && reached.count(previousState(f.endSector)) > 0;
        s.scanStartSector = reached.count(previousState(f.startSector)) || f.open ? f.startSector : oldest;
        const auto along = [&f](uint32_t sector) {
            return (sector + VirtualFlash::kSectorCount - f.startSector) % VirtualFlash::kSectorCount;
        };
        s.records = f.payloads;
        s.recordSectors = f.recordSectors;
        for (uint32_t sector : f.recordSectors) {
            const uint32_t page = sector / VirtualFlash::kSectorsPerPage;
            const PageStatus st = m_flash->pageStatus(page);
            const QByteArray bytes = m_flash->sector(sector);
            const bool readable = unusable.count(page) == 0 && dataValid(st) &&
                                  FlashFilesystemWriter::recordCrcValid(bytes) && getU32(bytes, 520) == f.id &&
                                  along(sector) > along(s.scanStartSector);
            s.recordReadable.push_back(readable);
        }
        // Every page the download walks: from the start to the end sector.
        const uint32_t firstPage = s.scanStartSector / VirtualFlash::kSectorsPerPage;
        const uint32_t lastPage =
            (s.endSector + VirtualFlash::kSectorCount - 1) % VirtualFlash::kSectorCount / VirtualFlash::kSectorsPerPage;
        for (uint32_t p = firstPage;; p = (p + 1) % VirtualFlash::kPageCount) {
            const bool reserved = m_writer->isReservedBlock(p / VirtualFlash::kPagesPerBlock);
            if (!reserved && unusable.count(p))
                s.unusablePages.push_back(p);
            else if (!reserved && m_flash->pageStatus(p) == PageStatus::HwFailure)
                s.hasHwFailure = true;
            if (p == lastPage || s.scanStartSector == s.endSector)
                break;
        }
        const auto e = m_encodedSessions.find(f.id);
        if (e != m_encodedSessions.end()) {
            const EncodedSession &encoded = m_encoded[e->second];
            s.firstTimeMs = encoded.firstTimeMs;
            s.lastTimeMs = encoded.lastTimeMs;
            s.uses = encoded.uses;
        }
        gt.sessions.push_back(std::move(s));
    }
    return gt;
}

bool VirtualFlashService::writeGroundTruth(const QString &dir, QString *error) const
{
    GroundTruth gt;
    QByteArray pages;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        gt = groundTruthLocked();
        for (uint32_t p : m_flash->programmedPages()) {
            appendU32(pages, p);
            pages += m_flash->page(p);
        }
    }
    auto fail = [error](const QString &message) {
        if (error)
            *error = message;
        return false;
    };
    if (!QDir().mkpath(dir))
        return fail(QStringLiteral("cannot create %1").arg(dir));
    auto save = [&](const QString &name, const QByteArray &bytes) {
        QSaveFile file(QDir(dir).filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
            return fail(QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
        return true;
    };

    // Raw logs of an earlier write whose sessions are gone (after a create) would mislead.
    QDir target(dir);
    const QRegularExpression rawName(QStringLiteral("^session-(\\d+)\\.rlog$"));
    for (const QString &name : target.entryList({QStringLiteral("session-*.rlog")}, QDir::Files)) {
        const QRegularExpressionMatch m = rawName.match(name);
        if (!m.hasMatch())
            continue;
        const SessionTruth *s = gt.session(m.captured(1).toUInt());
        if (!s || s->open)
            target.remove(name);
    }

    QJsonArray sessions, uses;
    const auto isoTime = [](int64_t tenths) {
        return QDateTime::fromMSecsSinceEpoch(tenths * 100, Qt::UTC).toString(Qt::ISODateWithMs);
    };
    for (const SessionTruth &s : gt.sessions) {
        QJsonObject o;
        o[QStringLiteral("index")] = double(s.index);
        o[QStringLiteral("name")] = s.name;
        o[QStringLiteral("fileType")] = double(s.fileType);
        o[QStringLiteral("startSector")] = double(s.startSector);
        o[QStringLiteral("endSector")] = double(s.endSector);
        o[QStringLiteral("scanStartSector")] = double(s.scanStartSector);
        o[QStringLiteral("recordCount")] = double(s.records.size());
        o[QStringLiteral("open")] = s.open;
        o[QStringLiteral("listed")] = s.listed;
        o[QStringLiteral("startTimeMs")] = double(s.firstTimeMs);
        o[QStringLiteral("endTimeMs")] = double(s.lastTimeMs);
        if (!s.open) {
            const QString raw = QStringLiteral("session-%1.rlog").arg(s.index);
            o[QStringLiteral("rawLog")] = raw;
            if (!save(raw, s.rawLog()))
                return false;
            for (const WaterUseProfile::UseInstance &u : s.uses) {
                uses.append(QJsonObject{{QStringLiteral("use"), QLatin1String(WaterUseProfile::key(u.use))},
                                        {QStringLiteral("start"), isoTime(u.startTenths)},
                                        {QStringLiteral("end"), isoTime(u.endTenths)},
                                        {QStringLiteral("litres"), std::round(u.litres * 1000.0) / 1000.0},
                                        {QStringLiteral("session"), double(s.index)}});
            }
        }
        sessions.append(o);
    }
    QJsonObject root;
    root[QStringLiteral("sessions")] = sessions;
    root[QStringLiteral("flashPages")] = QStringLiteral("flash-pages.bin");
    root[QStringLiteral("stateExport")] = QStringLiteral("state-export.bin");
    // The fill level: the share of the usable stream consumed, and what the statistics report.
    root[QStringLiteral("sectorsConsumed")] = double(gt.sectorsConsumed);
    root[QStringLiteral("usableSectors")] = double(gt.usableSectors);
    root[QStringLiteral("flashPercentUsed")] = double(gt.percentUsed);
    return save(QStringLiteral("flash-pages.bin"), pages) && save(QStringLiteral("state-export.bin"), gt.stateExport) &&
           save(QStringLiteral("sessions.json"), QJsonDocument(root).toJson(QJsonDocument::Indented)) &&
           save(QStringLiteral("uses.json"), QJsonDocument(uses).toJson(QJsonDocument::Indented));
}
