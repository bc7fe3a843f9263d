#include "VirtualLogger.h"

#include "network/Network.h"
#include "VirtualBootloader.h"

#include "VirtualFlashService.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace Network;

namespace {
constexpr int64_t kMs = 1000000;

template <typename T> T readPacket(const QByteArray &packet)
{
    T value{};
    std::memcpy(&value, packet.constData(), std::min<size_t>(sizeof value, size_t(packet.size())));
    return value;
}

QByteArray bytesOf(const void *data, int size)
{
    return QByteArray(static_cast<const char *>(data), size);
}

QByteArray text256(const QString &text)
{
    QByteArray value = text.toUtf8().left(32);
    value.append(QByteArray(32 - value.size(), '\0'));
    return value;
}

bool isSupportedBaud(uint32_t baud)
{
    static const uint32_t rates[] = {9600,   19200,  38400,  57600,   115200,  230400,
                                     460800, 500000, 921600, 1000000, 2000000, 3000000};
    return std::find(std::begin(rates), std::end(rates), baud) != std::end(rates);
}

// Payload after the header: everything from offset 8.
QByteArray payloadOf(const void *packet, int size)
{
    return bytesOf(static_cast<const char *>(packet) + 8, size - 8);
}
}  // namespace

VirtualLogger::VirtualLogger(const VirtualLoggerConfig &config, int64_t nowNs)
    : m_config(config), m_bootloader(std::make_unique<VirtualBootloader>()),
      m_framer([this](const QByteArray &packet) { handleRequest(packet); }),
      m_magnet(config.magnet, config.seed ^ 0x6d61676eu), m_rng(config.seed)
{
    m_now = nowNs;
    m_startNs = nowNs;
    // Identity derived from the seed, so one seed is always the same logger.
    std::mt19937 idRng(config.seed * 2654435761u + 17u);
    m_uniqueId = config.uniqueId;
    if (m_uniqueId.isEmpty()) {
        for (int i = 0; i < 3; ++i)
            m_uniqueId += QStringLiteral("%1").arg(uint32_t(idRng()), 8, 16, QLatin1Char('0')).toUpper();
    }
    m_serialNumber = config.serialNumber;
    if (m_serialNumber.isEmpty())
        m_serialNumber = QStringLiteral("TW3X-%1").arg(uint32_t(idRng() % 1000000u), 6, 10, QLatin1Char('0'));

    for (auto &v : m_persistent256)
        v = QByteArray(32, '\0');
    for (auto &v : m_permanent256)
        v = QByteArray(32, '\0');
    // Factory settings, as found in the settings store of a new logger.
    m_persistent16[int(PersistentName16::Algorithm)] = uint16_t(Algorithm::Elliptical);
    m_persistent16[int(PersistentName16::PulseOutput_PulseMicros10)] = 100;
    m_persistent16[int(PersistentName16::PulseOutput_MinimumGapMicros10)] = 100;
    m_persistent16[int(PersistentName16::PulseOutput_BufferCount)] = 16;
    m_persistent16[int(PersistentName16::FlashLogging_Enable)] = 1;
    m_persistent16[int(PersistentName16::FlashLogging_CommitMinutes)] = 60;
    m_persistent16[int(PersistentName16::Network_Keepalive_Seconds)] = 5;
    m_persistent16[int(PersistentName16::PulseOutput_Divider)] = 1;
    m_persistent256[int(PersistentName256::DeviceName_UserString)] = text256(QStringLiteral("Virtual Logger"));
    m_savedPersistent16 = m_persistent16;
    m_savedPersistent256 = m_persistent256;
    m_permanent16[int(PermanentName16::Deprecated_ServerType)] = ServerType_Kestrelcove;
    m_permanent16[int(PermanentName16::RtcCalibrated)] = 1;
    m_permanent16[int(PermanentName16::ModelType)] = ModelType_Tarrowind3X;
    m_permanent16[int(PermanentName16::ModelRevision)] = config.modelRevision;
    m_permanent256[int(PermanentName256::SerialNumber)] = text256(m_serialNumber);

    // Algorithm block: field 0, no learned parameters (status 0), the 0xFF pad, zeros.
    m_algorithmBlock = QByteArray(kAlgorithmParametersSize, '\0');
    std::memset(m_algorithmBlock.data() + 94, 0xFF, 4);

    m_clockEpochNs = TimeTypes::Epoch1970::now() + config.clockOffsetMs * kMs;
    m_clockRefNs = nowNs;

    m_flash = std::make_unique<VirtualFlashService>(config.flash);

    boot(nowNs, config.startInBootloader ? Mode::Bootloader : Mode::Firmware);
    m_restarts = 0;
}

VirtualLogger::~VirtualLogger() = default;

void VirtualLogger::boot(int64_t nowNs, Mode mode)
{
    m_mode = mode;
    m_bootNs = nowNs;
    m_deafUntilNs = nowNs + kBootMs * kMs;
    m_lastRequestNs = INT64_MIN / 2;
    m_nextAnnounceNs = nowNs + kBootMs * kMs;
    m_pending = Pending::None;
    m_learningDoneNs = 0;
    m_scheduled.clear();
    m_pendingSamples.clear();
    m_framer.reset();
    m_framerBadAtBoot = m_framer.badBytes();
    m_uartRxBytes = 0;
    m_packetsUnderstood = 0;
    m_uartBaud = 115200;
    m_revolutionsAtBoot = m_magnet.revolutions();
    resetTemporaries();
    // RAM settings come back from the settings store.
    m_persistent16 = m_savedPersistent16;
    m_persistent256 = m_savedPersistent256;
    if (m_config.debugMessageIntervalMs > 0)
        m_nextDebugNs = nowNs + int64_t(m_config.debugMessageIntervalMs) * kMs;
    ++m_restarts;
    if (mode == Mode::Bootloader) {
        m_bootloader->reset();
        m_deafUntilNs = nowNs;  // the system bootloader listens at once
    } else {
        const QString banner = QStringLiteral("Boot: firmware %1.%2.%3 (%4), uid %5\n")
                                   .arg(m_config.majorVersion)
                                   .arg(m_config.minorVersion)
                                   .arg(m_config.patchLevel)
                                   .arg(m_config.buildType, m_uniqueId);
        debugMessage(banner, m_deafUntilNs);
    }
}

void VirtualLogger::resetTemporaries()
{
    m_temporaries.fill(0);
    m_temporaries[int(TemporaryName16::LedMode_Green)] = uint16_t(LedMode::Pulse);
    m_temporaries[int(TemporaryName16::LedMode_Orange)] = uint16_t(LedMode::Status);
}

void VirtualLogger::restart(int64_t nowNs)
{
    advance(nowNs);
    boot(nowNs, Mode::Firmware);
}

void VirtualLogger::enterBootloader(int64_t nowNs)
{
    advance(nowNs);
    boot(nowNs, Mode::Bootloader);
}

// ---- output ----

void VirtualLogger::send(const QByteArray &packet, int64_t atNs)
{
    if (atNs <= m_now)
        m_output.append(packet);
    else
        m_scheduled.emplace(atNs, packet);
}

void VirtualLogger::reply(uint16_t type, uint16_t requestId, const QByteArray &payload)
{
    send(encodePacket(type, requestId, payload), m_now);
}

void VirtualLogger::debugMessage(const QString &text, int64_t atNs)
{
    const QByteArray utf8 = text.toUtf8().left(kMaxPacketSize - 8);
    S2C_DebugMessagePacket header{};
    header.length = uint16_t(utf8.size());
    send(encodePacketWithoutId(S2C_DebugMessage, bytesOf(&header, sizeof header).mid(6) + utf8), atNs);
}

QByteArray VirtualLogger::takeOutput()
{
    QByteArray out;
    out.swap(m_output);
    return out;
}

int64_t VirtualLogger::nextEventNs() const
{
    int64_t next = -1;
    // Only what lies ahead: everything due has been done by advance().
    auto consider = [&next, this](int64_t t) {
        if (t > m_now && (next < 0 || t < next))
            next = t;
    };
    if (!m_scheduled.empty())
        consider(m_scheduled.begin()->first);
    if (m_pending != Pending::None)
        consider(m_pendingAtNs);
    if (m_mode == Mode::Firmware) {
        consider(m_deafUntilNs);
        consider(std::max(m_nextAnnounceNs, m_lastRequestNs + kClientSilenceMs * kMs));
        if (m_config.debugMessageIntervalMs > 0)
            consider(m_nextDebugNs);
        if (m_learningDoneNs > 0)
            consider(m_learningDoneNs);
        if (sampleStreamOn())
            consider(m_nextSampleNs);
    }
    return next;
}

// ---- time ----

void VirtualLogger::advance(int64_t nowNs)
{
    if (nowNs < m_now)
        nowNs = m_now;  // time never runs backwards
    m_now = nowNs;
    m_magnet.advanceTo(double(nowNs - m_startNs) / 1e9);

    // Delayed replies that have come due (before any reset they precede).
    while (!m_scheduled.empty() && m_scheduled.begin()->first <= nowNs &&
           (m_pending == Pending::None || m_scheduled.begin()->first <= m_pendingAtNs)) {
        m_output.append(m_scheduled.begin()->second);
        m_scheduled.erase(m_scheduled.begin());
    }

    if (m_pending != Pending::None && m_pendingAtNs <= nowNs)
        runPending(nowNs);

    if (m_mode != Mode::Firmware || nowNs < m_deafUntilNs)
        return;

    if (m_learningDoneNs > 0 && m_learningDoneNs <= nowNs)
        finishLearning(nowNs);

    if (sampleStreamOn())
        produceSamples(nowNs);

    // Announce while no client talks to us.
    if (nowNs - m_lastRequestNs >= int64_t(kClientSilenceMs) * kMs && nowNs >= m_nextAnnounceNs) {
        send(identityPacket(0), nowNs);
        const int64_t interval = int64_t(std::max(m_config.announceIntervalMs, 10)) * kMs;
        m_nextAnnounceNs = std::max(m_nextAnnounceNs + interval, nowNs + interval / 2);
    }

    if (m_config.debugMessageIntervalMs > 0 && nowNs >= m_nextDebugNs)
        sendDebugChatter(nowNs);
}

// The restart, bootloader entry or calibration end that has come due.
void VirtualLogger::runPending(int64_t nowNs)
{
    const Pending what = m_pending;
    const int64_t at = m_pendingAtNs;
    m_pending = Pending::None;
    if (what == Pending::Restart) {
        boot(at, Mode::Firmware);
    } else if (what == Pending::EnterBootloader) {
        boot(at, Mode::Bootloader);
    } else if (what == Pending::CalibrationDone) {
        m_permanent16[int(PermanentName16::RtcCalibrated)] = 1;
        debugMessage(QStringLiteral("RTC calibration done\n"), at);
    }
    m_now = nowNs;
    // Output the new firmware scheduled (the boot banner) may already be due.
    while (!m_scheduled.empty() && m_scheduled.begin()->first <= nowNs) {
        m_output.append(m_scheduled.begin()->second);
        m_scheduled.erase(m_scheduled.begin());
    }
}

void VirtualLogger::finishLearning(int64_t nowNs)
{
    m_learningDoneNs = 0;
    // Learning needs a block pushed before; without one there is nothing to refine.
    int32_t status = 0;
    bool haveParameters = false;
    for (int i = 2; i < 90; ++i)
        haveParameters = haveParameters || m_algorithmBlock[i] != '\0';
    if (haveParameters) {
        status = 1;
        m_algorithmBlock.replace(90, 4, reinterpret_cast<const char *>(&status), 4);
        debugMessage(QStringLiteral("Learning finished\n"), nowNs);
    } else {
        debugMessage(QStringLiteral("Learning failed: no parameters to refine\n"), nowNs);
    }
}

// A firmware chats on its debug channel now and then; one of four lines at random.
void VirtualLogger::sendDebugChatter(int64_t nowNs)
{
    const int64_t up = uptimeNs(nowNs) / 1000000000;
    const int kind = int(m_rng() % 4);
    QString text;
    switch (kind) {
    case 0:
        text = QStringLiteral("mag: %1 revolutions, backlog 0\n")
                   .arg(qint64(m_magnet.revolutions() - m_revolutionsAtBoot));
        break;
    case 1:
        text = QStringLiteral("flash: commit after %1 s uptime\n").arg(up);
        break;
    case 2:
        text = QStringLiteral("power: vbat %1 mV\n").arg(3600 - int(up / 3600));
        break;
    default:
        text = QStringLiteral("rtc: uptime %1 s\n").arg(up);
        break;
    }
    debugMessage(text, nowNs);
    const int64_t base = int64_t(m_config.debugMessageIntervalMs) * kMs;
    m_nextDebugNs = nowNs + base / 2 + int64_t(m_rng() % uint32_t(std::max<int64_t>(base / kMs, 1))) * kMs;
}

// ---- samples ----

double VirtualLogger::sampleRate() const
{
    const uint16_t forced = m_temporaries[int(TemporaryName16::RawXyzOutput_ForceHz)];
    const double hz = forced > 0 ? double(forced) : m_config.sampleHz;
    return std::clamp(hz, 0.1, 4000.0);
}

bool VirtualLogger::sampleStreamOn() const
{
    return m_mode == Mode::Firmware && m_temporaries[int(TemporaryName16::RawXyzOutput_Enable)] != 0 &&
           m_config.sampleHz > 0.0;
}

void VirtualLogger::produceSamples(int64_t untilNs)
{
    const int64_t period = std::max<int64_t>(int64_t(1e9 / sampleRate()), 1);
    // After a long stall the sensor's FIFO has overflowed: only the last second survives.
    if (untilNs - m_nextSampleNs > 1000 * kMs)
        m_nextSampleNs = untilNs - 1000 * kMs;
    while (m_nextSampleNs <= untilNs) {
        const XyzSample s = m_magnet.sampleAt(double(m_nextSampleNs - m_startNs) / 1e9);
        const int64_t t = deviceTimeNs(m_nextSampleNs);
        // A descriptor holds the offset from t0 in 31 bits; start a new packet before it overflows.
        if (!m_pendingSamples.empty() && t - m_pendingSamples.front().deviceTimeNs >= (int64_t(1) << 31))
            flushSamples();
        m_pendingSamples.push_back({t, s});
        if (m_pendingSamples.size() == 5)
            flushSamples();
        m_nextSampleNs += period;
    }
    // Do not hold samples back for long at low rates.
    if (!m_pendingSamples.empty() && deviceTimeNs(untilNs) - m_pendingSamples.front().deviceTimeNs >= 250 * kMs)
        flushSamples();
}

void VirtualLogger::flushSamples()
{
    if (m_pendingSamples.empty())
        return;
    S2C_DataPointsPacket p{};
    p.type = S2C_DataPoints;
    p.t0 = m_pendingSamples.front().deviceTimeNs;
    for (size_t k = 0; k < m_pendingSamples.size() && k < 5; ++k) {
        p.samples[k] = m_pendingSamples[k].sample;
        if (k > 0) {
            const int64_t dt = m_pendingSamples[k].deviceTimeNs - p.t0;
            p.descriptors[k - 1] = (uint32_t(dt) << 1) | 1u;
        }
    }
    sealPacket(&p, sizeof p);
    m_pendingSamples.clear();
    ++m_dataPointPackets;
    send(bytesOf(&p, sizeof p), m_now);
}

// ---- input ----

void VirtualLogger::receive(const QByteArray &bytes, int64_t nowNs)
{
    advance(nowNs);
    if (bytes.isEmpty())
        return;
    if (m_mode == Mode::Bootloader) {
        const QByteArray answer = m_bootloader->receive(bytes);
        send(answer, nowNs);
        if (m_bootloader->takeGoRequest()) {
            // Go: the bootloader jumps to the firmware, which starts as after a reset.
            boot(nowNs, Mode::Firmware);
        }
        return;
    }
    if (nowNs < m_deafUntilNs || m_pending == Pending::Restart || m_pending == Pending::EnterBootloader)
        return;  // resetting or busy: the UART is not listening
    m_uartRxBytes += uint32_t(bytes.size());
    const uint64_t badBefore = m_framer.badBytes();
    m_framer.feed(bytes);
    m_totalBadBytes += m_framer.badBytes() - badBefore;
    m_uartRxBadBytes = uint32_t(m_framer.badBytes() - m_framerBadAtBoot);
}

uint64_t VirtualLogger::requestCount(uint16_t packetType) const
{
    const auto it = m_requestCounts.find(packetType);
    return it == m_requestCounts.end() ? 0 : it->second;
}

void VirtualLogger::handleRequest(const QByteArray &packet)
{
    // A request following a reset request in the same burst finds the device resetting.
    if (m_mode != Mode::Firmware || m_pending == Pending::Restart || m_pending == Pending::EnterBootloader)
        return;
    const auto base = readPacket<PacketBase>(packet);
    ++m_requestCounts[base.type];
    const auto last = m_lastRequestIds.find(base.type);
    if (last == m_lastRequestIds.end() || last->second != base.requestId)
        ++m_distinctRequestCounts[base.type];
    m_lastRequestIds[base.type] = base.requestId;
    if (!firmwareKnows(base.type))
        return;  // older firmware: the request means nothing to it
    if (base.type == C2S_FlashRead528 || base.type == C2S_FlashReadLz528)
        ++m_sectorReads[readPacket<C2S_FlashRead528Packet>(packet).offset528];
    else if (base.type == C2S_FlashReadPage)
        ++m_pageReads[readPacket<C2S_FlashReadPagePacket>(packet).pageIndex];
    m_lastRequestNs = m_now;
    ++m_packetsUnderstood;
    handleFirmwareRequest(base.type, base.requestId, packet);
}

bool VirtualLogger::firmwareKnows(uint16_t type) const
{
    switch (type) {
    case C2S_ReadTemporaries16:
    case C2S_ReadPersistents16:
    case C2S_ReadPermanents16:
        return m_config.patchLevel >= 4040;
    case C2S_NetworkUartConfig:
        return m_config.patchLevel > 4300;
    default:
        return true;
    }
}

// ---- requests ----

// One request as it arrived: its type, the id to answer with, and the whole packet.
struct VirtualLogger::Request {
    uint16_t type;
    uint16_t id;
    const QByteArray &packet;
};

// The variable requests: which store, and whether one name is read, several are read, or one
// is written. The answers differ only in the result type.
struct VirtualLogger::VariableRequest {
    enum Access { ReadOne, ReadMany, Write };
    uint16_t request;
    uint16_t result;
    VariableStore store;
    Access access;
};

namespace {
QByteArray u16(uint16_t v)
{
    return bytesOf(&v, 2);
}
}  // namespace

void VirtualLogger::handleFirmwareRequest(uint16_t type, uint16_t requestId, const QByteArray &packet)
{
    const Request request{type, requestId, packet};
    if (m_flash->handles(type)) {
        handleFlashRequest(request);
        return;
    }
    using Store = VariableStore;
    using V = VariableRequest;
    static const VariableRequest variables[] = {
        {C2S_ReadTemporary16, S2C_ReadTemporary16Result, Store::Temporary16, V::ReadOne},
        {C2S_ReadTemporaries16, S2C_ReadTemporaries16Result, Store::Temporary16, V::ReadMany},
        {C2S_WriteTemporary16, S2C_WriteTemporary16Result, Store::Temporary16, V::Write},
        {C2S_ReadPersistent16, S2C_ReadPersistent16Result, Store::Persistent16, V::ReadOne},
        {C2S_ReadPersistents16, S2C_ReadPersistents16Result, Store::Persistent16, V::ReadMany},
        {C2S_WritePersistent16, S2C_WritePersistent16Result, Store::Persistent16, V::Write},
        {C2S_ReadPersistent256, S2C_ReadPersistent256Result, Store::Persistent256, V::ReadOne},
        {C2S_WritePersistent256, S2C_WritePersistent256Result, Store::Persistent256, V::Write},
        {C2S_ReadPermanent16, S2C_ReadPermanent16Result, Store::Permanent16, V::ReadOne},
        {C2S_ReadPermanents16, S2C_ReadPermanents16Result, Store::Permanent16, V::ReadMany},
        // Factory programming: permanents are written straight to their own store.
        {C2S_WritePermanent16, S2C_WritePermanent16Result, Store::Permanent16, V::Write},
        {C2S_ReadPermanent256, S2C_ReadPermanent256Result, Store::Permanent256, V::ReadOne},
        {C2S_WritePermanent256, S2C_WritePermanent256Result, Store::Permanent256, V::Write},
    };
    for (const VariableRequest &v : variables) {
        if (v.request == type) {
            handleVariableRequest(v, request);
            return;
        }
    }
    using Handler = void (VirtualLogger::*)(const Request &);
    static const std::map<uint16_t, Handler> handlers = {
        {C2S_GetDeviceId, &VirtualLogger::onGetDeviceId},
        {C2S_SavePersistents, &VirtualLogger::onSavePersistents},
        {C2S_ClearPersistents, &VirtualLogger::onClearPersistents},
        {C2S_SavePermanents, &VirtualLogger::onSavePermanents},
        {C2S_EnterBootloader, &VirtualLogger::onEnterBootloader},
        {C2S_Restart, &VirtualLogger::onRestart},
        {C2S_DebugFunc, &VirtualLogger::onDebugFunc},
        {C2S_LearnAlgorithmParameters, &VirtualLogger::onLearnAlgorithmParameters},
        {C2S_KeepAlive, &VirtualLogger::onKeepAlive},
        {C2S_GetStats, &VirtualLogger::onGetStats},
        {C2S_PushAlgorithmParameters, &VirtualLogger::onPushAlgorithmParameters},
        {C2S_PullAlgorithmParameters, &VirtualLogger::onPullAlgorithmParameters},
        {C2S_SetDateTime, &VirtualLogger::onSetDateTime},
        {C2S_GetDateTime, &VirtualLogger::onGetDateTime},
        {C2S_RtcCalibrate, &VirtualLogger::onRtcCalibrate},
        {C2S_NetworkUartConfig, &VirtualLogger::onNetworkUartConfig},
    };
    const auto handler = handlers.find(type);
    if (handler != handlers.end())
        (this->*handler->second)(request);
    // Anything else (flash requests without a flash model, unknown types): no answer.
}

void VirtualLogger::handleFlashRequest(const Request &r)
{
    // The flash service knows which requests this patch level understands; what it leaves
    // unanswered stays unanswered.
    const int64_t now = m_now;
    m_flash->handlePacket(r.packet, m_config.patchLevel, [this, now](const QByteArray &answer, int delayMs) {
        send(answer, now + int64_t(std::max(delayMs, 0)) * kMs);
    });
}

void VirtualLogger::handleVariableRequest(const VariableRequest &v, const Request &r)
{
    const bool text = v.store == VariableStore::Persistent256 || v.store == VariableStore::Permanent256;
    const bool wasStreaming = sampleStreamOn();
    switch (v.access) {
    case VariableRequest::ReadOne:
        if (text)
            readVariable256(v, r);
        else
            readVariable16(v, r);
        break;
    case VariableRequest::ReadMany:
        readVariables16(v, r);
        break;
    case VariableRequest::Write:
        if (text)
            writeVariable256(v, r);
        else
            writeVariable16(v, r);
        break;
    }
    if (v.store == VariableStore::Temporary16 && v.access == VariableRequest::Write)
        sampleStreamSwitched(wasStreaming);
    if (v.store == VariableStore::Permanent256 && v.access == VariableRequest::Write &&
        readPacket<C2S_WriteVariable256Packet>(r.packet).name == uint16_t(PermanentName256::SerialNumber)) {
        const QByteArray &value = m_permanent256[0];
        m_serialNumber = QString::fromUtf8(value.left(value.indexOf('\0') < 0 ? 32 : value.indexOf('\0')));
    }
}

uint16_t *VirtualLogger::values16(VariableStore store, int *capacity)
{
    switch (store) {
    case VariableStore::Temporary16:
        *capacity = kTemporaryCapacity;
        return m_temporaries.data();
    case VariableStore::Persistent16:
        *capacity = kPersistent16Capacity;
        return m_persistent16.data();
    case VariableStore::Permanent16:
        *capacity = kPermanent16Capacity;
        return m_permanent16.data();
    default:
        *capacity = 0;
        return nullptr;
    }
}

QByteArray *VirtualLogger::values256(VariableStore store, int *capacity)
{
    if (store == VariableStore::Persistent256) {
        *capacity = kPersistent256Capacity;
        return m_persistent256.data();
    }
    *capacity = kPermanent256Capacity;
    return m_permanent256.data();
}

void VirtualLogger::readVariable16(const VariableRequest &v, const Request &r)
{
    int capacity = 0;
    const uint16_t *values = values16(v.store, &capacity);
    const auto req = readPacket<C2S_ReadVariablePacket>(r.packet);
    const bool known = req.name < capacity;
    reply(v.result, r.id,
          u16(req.name) + u16(known ? kErrorNone : kErrorUnknownName) + u16(known ? values[req.name] : 0));
}

void VirtualLogger::readVariables16(const VariableRequest &v, const Request &r)
{
    int capacity = 0;
    const uint16_t *values = values16(v.store, &capacity);
    const auto req = readPacket<C2S_ReadVariables16Packet>(r.packet);
    // Names past the device's capacity are left out; the length field tells how many came.
    const int first = req.first;
    const int last = std::min<int>(first + int(req.count), capacity);
    QByteArray data;
    for (int name = first; name < last; ++name)
        data += u16(values[name]);
    reply(v.result, r.id, u16(uint16_t(data.size())) + u16(req.first) + data);
}

void VirtualLogger::writeVariable16(const VariableRequest &v, const Request &r)
{
    int capacity = 0;
    uint16_t *values = values16(v.store, &capacity);
    const auto req = readPacket<C2S_WriteVariable16Packet>(r.packet);
    if (req.name >= capacity) {
        reply(v.result, r.id, u16(req.name) + u16(kErrorUnknownName));
        return;
    }
    values[req.name] = req.value;
    reply(v.result, r.id, u16(req.name) + u16(kErrorNone));
}

void VirtualLogger::readVariable256(const VariableRequest &v, const Request &r)
{
    int capacity = 0;
    const QByteArray *values = values256(v.store, &capacity);
    const auto req = readPacket<C2S_ReadVariablePacket>(r.packet);
    const bool known = req.name < capacity;
    reply(v.result, r.id,
          u16(req.name) + u16(known ? kErrorNone : kErrorUnknownName) +
              (known ? values[req.name] : QByteArray(32, '\0')));
}

void VirtualLogger::writeVariable256(const VariableRequest &v, const Request &r)
{
    int capacity = 0;
    QByteArray *values = values256(v.store, &capacity);
    const auto req = readPacket<C2S_WriteVariable256Packet>(r.packet);
    const bool known = req.name < capacity;
    if (known)
        values[req.name] = bytesOf(req.value.bytes, 32);
    reply(v.result, r.id, u16(req.name) + u16(known ? kErrorNone : kErrorUnknownName));
}

void VirtualLogger::sampleStreamSwitched(bool wasStreaming)
{
    if (sampleStreamOn() && !wasStreaming) {
        m_nextSampleNs = m_now;
        m_pendingSamples.clear();
    } else if (!sampleStreamOn() && wasStreaming) {
        flushSamples();
    }
}

void VirtualLogger::onGetDeviceId(const Request &r)
{
    send(identityPacket(r.id), m_now);
}

void VirtualLogger::onSavePersistents(const Request &r)
{
    if (m_config.refuseSave) {
        reply(S2C_SavePersistentsResult, r.id, u16(kErrorSaveRefused));
        return;
    }
    m_savedPersistent16 = m_persistent16;
    m_savedPersistent256 = m_persistent256;
    reply(S2C_SavePersistentsResult, r.id, u16(kErrorNone));
}

void VirtualLogger::onClearPersistents(const Request &r)
{
    // The settings store is erased; what the firmware holds follows it.
    m_savedPersistent16.fill(0);
    for (auto &v : m_savedPersistent256)
        v = QByteArray(32, '\0');
    m_persistent16 = m_savedPersistent16;
    m_persistent256 = m_savedPersistent256;
    reply(S2C_ClearPersistentsResult, r.id, u16(kErrorNone));
}

void VirtualLogger::onSavePermanents(const Request &r)
{
    reply(S2C_SavePermanentsResult, r.id, u16(kErrorNone));
}

void VirtualLogger::onEnterBootloader(const Request &r)
{
    reply(S2C_EnterBootloaderAck, r.id);
    m_pending = Pending::EnterBootloader;
    m_pendingAtNs = m_now + 2 * kMs;
}

void VirtualLogger::onRestart(const Request &r)
{
    reply(S2C_RestartAck, r.id);
    m_pending = Pending::Restart;
    m_pendingAtNs = m_now + 2 * kMs;
}

void VirtualLogger::onDebugFunc(const Request &r)
{
    reply(S2C_DebugFuncAck, r.id);
    debugMessage(QStringLiteral("DebugFunc: uptime %1 ms, %2 packets understood\n")
                     .arg(uptimeNs(m_now) / kMs)
                     .arg(m_packetsUnderstood),
                 m_now);
}

void VirtualLogger::onLearnAlgorithmParameters(const Request &r)
{
    reply(S2C_LearnAlgorithmParametersAck, r.id);
    m_learningDoneNs = m_now + kLearningMs * kMs;
}

void VirtualLogger::onKeepAlive(const Request &r)
{
    reply(S2C_KeepAliveAck, r.id);
}

void VirtualLogger::onGetStats(const Request &r)
{
    send(statsPacket(r.id), m_now);
}

void VirtualLogger::onPushAlgorithmParameters(const Request &r)
{
    const QByteArray block = r.packet.mid(8, kAlgorithmParametersSize);
    uint16_t field = 0;
    std::memcpy(&field, block.constData(), 2);
    // The leading field names what the block holds; only an elliptical block (0) fits.
    const bool ok = field == 0 && block.size() == kAlgorithmParametersSize;
    if (ok)
        m_algorithmBlock = block;
    reply(S2C_PushAlgorithmParametersResult, r.id, u16(ok ? kErrorNone : kErrorBadValue));
}

void VirtualLogger::onPullAlgorithmParameters(const Request &r)
{
    const auto req = readPacket<C2S_ReadVariablePacket>(r.packet);
    QByteArray block = m_algorithmBlock;
    if (req.name != uint16_t(Algorithm::Elliptical)) {
        // No such algorithm on this device: the leading field says so, the rest is empty.
        block = QByteArray(kAlgorithmParametersSize, '\0');
        const uint16_t unsupported = 1;
        std::memcpy(block.data(), &unsupported, 2);
    }
    reply(S2C_PullAlgorithmParametersResult, r.id, block);
}

void VirtualLogger::onSetDateTime(const Request &r)
{
    const auto req = readPacket<C2S_SetDateTimePacket>(r.packet);
    m_clockEpochNs = req.time;
    m_clockRefNs = m_now;
    m_lastClockSyncNs = req.time;
    reply(S2C_SetDateTimeAck, r.id);
}

void VirtualLogger::onGetDateTime(const Request &r)
{
    const int64_t t = deviceTimeNs(m_now);
    reply(S2C_GetDateTimeResult, r.id, bytesOf(&t, 8));
}

void VirtualLogger::onRtcCalibrate(const Request &r)
{
    // Measuring the crystal against the reference keeps the firmware busy for a while.
    reply(S2C_RtcCalibrateAck, r.id);
    m_deafUntilNs = m_now + kRtcCalibrationMs * kMs;
    m_pending = Pending::CalibrationDone;
    m_pendingAtNs = m_deafUntilNs;
}

void VirtualLogger::onNetworkUartConfig(const Request &r)
{
    const auto req = readPacket<C2S_NetworkUartConfigPacket>(r.packet);
    // An unsupported rate is refused by answering with the rate that stays in use.
    if (isSupportedBaud(req.baud))
        m_uartBaud = req.baud;
    S2C_NetworkUartConfigChangePacket p{};
    p.baudRate = m_uartBaud;
    reply(S2C_NetworkUartConfigChange, r.id, payloadOf(&p, sizeof p));
}

// ---- records ----

QByteArray VirtualLogger::identityPacket(uint16_t requestId) const
{
    S2C_GetDeviceIdResultPacket p{};
    p.base.type = S2C_GetDeviceIdResult;
    p.base.requestId = requestId;
    p.serverType = ServerType_Kestrelcove;
    p.majorVersion = m_config.majorVersion;
    p.minorVersion = m_config.minorVersion;
    p.patchLevelVersion = m_config.patchLevel;
    const QByteArray uid = m_uniqueId.toLatin1().left(32);
    std::memcpy(p.uniqueId, uid.constData(), size_t(uid.size()));
    p.modelType = ModelType_Tarrowind3X;
    p.modelRevision = m_config.modelRevision;
    const QByteArray build = m_config.buildType.toUtf8().left(12);
    std::memcpy(p.buildType, build.constData(), size_t(build.size()));
    sealPacket(&p, sizeof p);
    return bytesOf(&p, sizeof p);
}

QByteArray VirtualLogger::statsPacket(uint16_t requestId) const
{
    S2C_GetStatsResultPacket p{};
    p.base.type = S2C_GetStatsResult;
    p.base.requestId = requestId;
    const int64_t up = uptimeNs(m_now);
    const double upSeconds = double(up) / 1e9;
    const uint32_t magSamples = uint32_t(upSeconds * m_config.sampleHz);
    p.errorFlags = m_permanent16[int(PermanentName16::RtcCalibrated)] ? 0u : uint32_t(ErrorFlag_RtcNotCalibrated);
    p.i2cIrqCount = magSamples;
    p.magIrqCount = magSamples;
    p.rtcIrqCount = uint32_t(upSeconds);
    p.timerWakeCount = uint32_t(upSeconds * 4);
    p.pulseCount = uint32_t(std::llround(std::fabs(std::trunc(m_magnet.revolutions() - m_revolutionsAtBoot))));
    p.sleepCount = p.timerWakeCount + p.pulseCount;
    p.uartRxBytes = m_uartRxBytes;
    p.uartRxBadBytes = m_uartRxBadBytes;
    p.magSamplesProcessed = magSamples;
    p.uptimeNanos = uint64_t(std::max<int64_t>(up, 0));
    p.lastClockSyncNanos = uint64_t(std::max<int64_t>(m_lastClockSyncNs, 0));
    p.packetsUnderstood = m_packetsUnderstood;
    p.largestMagBacklog = 3;
    p.currentMagBacklog = 0;
    const VirtualFlashService::Stats flash = m_flash->stats();
    p.flashStatus = 1;
    p.flashPercentUsed = flash.percentUsed;
    p.flashSessionIndex = flash.openSessionIndex;
    p.flashBadPageCount = flash.unusablePageCount;
    p.cpuFrequency = 32;
    // Slow, plausible drifts; deterministic in the uptime.
    p.vbatMilliVolts = uint16_t(3620 - std::min(upSeconds / 3600.0, 200.0) + 3 * std::sin(upSeconds / 7.0));
    p.vrefIntMilliVolts = uint16_t(1212 + std::lround(2 * std::sin(upSeconds / 11.0)));
    p.vinputMilliVolts = uint16_t(3310 + std::lround(5 * std::sin(upSeconds / 5.0)));
    p.temperatureCelsiusMilliDegrees = uint32_t(21500 + std::lround(800 * std::sin(upSeconds / 600.0)));
    sealPacket(&p, sizeof p);
    return bytesOf(&p, sizeof p);
}

int64_t VirtualLogger::deviceTimeNs(int64_t nowNs) const
{
    return m_clockEpochNs + (nowNs - m_clockRefNs);
}

uint16_t VirtualLogger::temporary(int name) const
{
    return name >= 0 && name < kTemporaryCapacity ? m_temporaries[size_t(name)] : 0;
}

uint16_t VirtualLogger::persistent16(int name) const
{
    return name >= 0 && name < kPersistent16Capacity ? m_persistent16[size_t(name)] : 0;
}

QByteArray VirtualLogger::persistent256(int name) const
{
    return name >= 0 && name < kPersistent256Capacity ? m_persistent256[size_t(name)] : QByteArray();
}

uint16_t VirtualLogger::permanent16(int name) const
{
    return name >= 0 && name < kPermanent16Capacity ? m_permanent16[size_t(name)] : 0;
}

QByteArray VirtualLogger::permanent256(int name) const
{
    return name >= 0 && name < kPermanent256Capacity ? m_permanent256[size_t(name)] : QByteArray();
}

// ---- ground truth ----

namespace {
bool saveFile(const QString &path, const QByteArray &data, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

QString text256Of(const QByteArray &value)
{
    const int end = value.indexOf('\0');
    return QString::fromUtf8(end < 0 ? value : value.left(end));
}
}  // namespace

bool VirtualLogger::writeGroundTruth(const QString &dir, int64_t nowNs, QString *error) const
{
    if (!QDir().mkpath(dir)) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(dir);
        return false;
    }
    if (!m_flash->writeGroundTruth(dir, error))
        return false;
    if (!saveFile(QDir(dir).filePath(QStringLiteral("mcu-flash.bin")), m_bootloader->flash(), error))
        return false;

    QJsonObject device;
    device[QStringLiteral("mode")] =
        m_mode == Mode::Firmware ? QStringLiteral("firmware") : QStringLiteral("bootloader");
    device[QStringLiteral("uniqueId")] = m_uniqueId;
    device[QStringLiteral("serialNumber")] = m_serialNumber;
    device[QStringLiteral("version")] =
        QStringLiteral("%1.%2.%3").arg(m_config.majorVersion).arg(m_config.minorVersion).arg(m_config.patchLevel);
    device[QStringLiteral("patchLevel")] = qint64(m_config.patchLevel);
    device[QStringLiteral("uptimeNanos")] = qint64(uptimeNs(nowNs));
    device[QStringLiteral("deviceTimeNanos")] = qint64(deviceTimeNs(nowNs));
    device[QStringLiteral("uartBaud")] = qint64(m_uartBaud);
    device[QStringLiteral("magnetRevolutions")] = m_magnet.revolutions();
    device[QStringLiteral("litresPerPulse")] = m_config.flash.litresPerPulse;
    device[QStringLiteral("restarts")] = m_restarts;
    auto list16 = [](const uint16_t *values, int n) {
        QJsonArray a;
        for (int i = 0; i < n; ++i)
            a.append(int(values[i]));
        return a;
    };
    device[QStringLiteral("temporaries")] = list16(m_temporaries.data(), kTemporaryCapacity);
    device[QStringLiteral("persistents16")] = list16(m_persistent16.data(), kPersistent16Count);
    device[QStringLiteral("permanents16")] = list16(m_permanent16.data(), kPermanent16Count);
    QJsonArray p256;
    for (int i = 0; i < kPersistent256Count; ++i)
        p256.append(text256Of(m_persistent256[size_t(i)]));
    device[QStringLiteral("persistents256")] = p256;
    QJsonObject requests;
    for (const auto &entry : m_requestCounts)
        requests[packetTypeName(entry.first).mid(9)] = qint64(entry.second);
    device[QStringLiteral("requests")] = requests;
    QJsonObject distinct;
    for (const auto &entry : m_distinctRequestCounts)
        distinct[packetTypeName(entry.first).mid(9)] = qint64(entry.second);
    device[QStringLiteral("distinctRequests")] = distinct;
    return saveFile(QDir(dir).filePath(QStringLiteral("device.json")),
                    QJsonDocument(device).toJson(QJsonDocument::Indented), error);
}
