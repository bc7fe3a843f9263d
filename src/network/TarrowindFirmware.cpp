#include "TarrowindFirmware.h"

#include "FlashReadDecoder.h"
#include "NetworkMetatypes.h"
#include "serial/AbstractSerialPort.h"

#include <algorithm>
#include <cstring>
#include <QDebug>
#include <QLocale>

using namespace Network;

namespace {
QString latin1Field(const char *p, int max)
{
    return QString::fromLatin1(p, int(qstrnlen(p, uint(max))));
}

QString utf8Field(const char *p, int max)
{
    return QString::fromUtf8(p, int(qstrnlen(p, uint(max))));
}

QString text256(const uint256_t &value)
{
    return utf8Field(reinterpret_cast<const char *>(value.bytes), 32);
}

template <typename T> const T &as(const PacketBase &packet)
{
    return reinterpret_cast<const T &>(packet);
}

void logLine(const QString &text)
{
    qDebug().noquote().nospace() << text;
}

void logWarning(const QString &text)
{
    qWarning().noquote().nospace() << text;
}
}  // namespace

TarrowindFirmware::TarrowindFirmware(QObject *parent) : QObject(parent)
{
    // Signals of this class travel queued to other threads (the remote filesystem worker).
    registerNetworkMetatypes();
    m_dateTime = QDateTime::fromMSecsSinceEpoch(0, Qt::UTC);
    m_parser.setPacketHandler([this](const PacketBase &packet, int length) { dispatch(packet, length); });

    m_retryTimer.setInterval(kRetryIntervalMs);
    m_retryTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_retryTimer, &QTimer::timeout, this, &TarrowindFirmware::retryTimerTick);
    m_keepAliveTimer.setInterval(kKeepAliveIntervalMs);
    connect(&m_keepAliveTimer, &QTimer::timeout, this, &TarrowindFirmware::keepAliveTimerTick);
    m_retryTimer.start();
    m_keepAliveTimer.start();

    clearRemoteKnowledge();
    connect(this, &TarrowindFirmware::packetFinished, this, &TarrowindFirmware::onPacketFinished);
}

TarrowindFirmware::~TarrowindFirmware()
{
    if (m_ioDevice)
        disconnect(m_ioDevice.data(), nullptr, this, nullptr);
}

// ---------------------------------------------------------------- identity and caches

namespace {
const S2C_GetDeviceIdResultPacket &identity(const uint8_t *record)
{
    return *reinterpret_cast<const S2C_GetDeviceIdResultPacket *>(record);
}
}  // namespace

#define TW_ID_RECORD identity(m_deviceIdRecord)

Network::ServerType TarrowindFirmware::serverType() const
{
    return ServerType(TW_ID_RECORD.serverType);
}

uint16_t TarrowindFirmware::majorVersion() const
{
    return TW_ID_RECORD.majorVersion;
}

uint16_t TarrowindFirmware::minorVersion() const
{
    return TW_ID_RECORD.minorVersion;
}

uint32_t TarrowindFirmware::patchLevelVersion() const
{
    return TW_ID_RECORD.patchLevelVersion;
}

QString TarrowindFirmware::uniqueId() const
{
    return latin1Field(TW_ID_RECORD.uniqueId, 32);
}

Network::ModelType TarrowindFirmware::modelType() const
{
    return ModelType(TW_ID_RECORD.modelType);
}

uint16_t TarrowindFirmware::modelRevision() const
{
    return TW_ID_RECORD.modelRevision;
}

QString TarrowindFirmware::buildType() const
{
    return utf8Field(TW_ID_RECORD.buildType, 12);
}

#undef TW_ID_RECORD

QString TarrowindFirmware::deviceName() const
{
    return text256(m_variables.value256(VariableCache::Persistent256, int(PersistentName256::DeviceName_UserString)));
}

bool TarrowindFirmware::firmwareOutdated() const
{
    return m_connectionState == ConnectionState_Ready &&
           (minorVersion() < kLatestMinorVersion || patchLevelVersion() < kLatestPatchLevelVersion);
}

QVariantMap TarrowindFirmware::stats() const
{
    const auto &s = as<S2C_GetStatsResultPacket>(*reinterpret_cast<const PacketBase *>(m_statsRecord));
    QVariantMap m;
    m.insert(QStringLiteral("genericErrorCount"), qlonglong(s.genericErrorCount));
    m.insert(QStringLiteral("i2cIrqCount"), qlonglong(s.i2cIrqCount));
    m.insert(QStringLiteral("i2cReinitCount"), qlonglong(s.i2cReinitCount));
    m.insert(QStringLiteral("magIrqCount"), qlonglong(s.magIrqCount));
    m.insert(QStringLiteral("rtcIrqCount"), qlonglong(s.rtcIrqCount));
    m.insert(QStringLiteral("timerWakeCount"), qlonglong(s.timerWakeCount));
    m.insert(QStringLiteral("pulseCount"), qlonglong(s.pulseCount));
    m.insert(QStringLiteral("sleepCount"), qlonglong(s.sleepCount));
    m.insert(QStringLiteral("uartRxReinitCount"), qlonglong(s.uartRxReinitCount));
    m.insert(QStringLiteral("uartRxBytes"), qlonglong(s.uartRxBytes));
    m.insert(QStringLiteral("uartRxBadBytes"), qlonglong(s.uartRxBadBytes));
    m.insert(QStringLiteral("magSamplesProcessed"), qlonglong(s.magSamplesProcessed));
    m.insert(QStringLiteral("accelSamplesProcessed"), qlonglong(s.accelSamplesProcessed));
    // Unsigned 64-bit counters: values above the signed range wrap as the wire bits dictate.
    m.insert(QStringLiteral("uptimeNanos"), qlonglong(s.uptimeNanos));
    m.insert(QStringLiteral("lastClockSyncNanos"), qlonglong(s.lastClockSyncNanos));
    m.insert(QStringLiteral("packetsUnderstood"), qlonglong(s.packetsUnderstood));
    m.insert(QStringLiteral("largestMagBacklog"), qlonglong(s.largestMagBacklog));
    m.insert(QStringLiteral("currentMagBacklog"), qlonglong(s.currentMagBacklog));
    m.insert(QStringLiteral("flashStatus"), qlonglong(s.flashStatus));
    m.insert(QStringLiteral("flashPercentUsed"), qlonglong(s.flashPercentUsed));
    m.insert(QStringLiteral("flashSessionIndex"), qlonglong(s.flashSessionIndex));
    m.insert(QStringLiteral("flashBadPageCount"), qlonglong(s.flashBadPageCount));
    m.insert(QStringLiteral("vbatMilliVolts"), qlonglong(s.vbatMilliVolts));
    m.insert(QStringLiteral("vrefIntMilliVolts"), qlonglong(s.vrefIntMilliVolts));
    m.insert(QStringLiteral("vinputMilliVolts"), qlonglong(s.vinputMilliVolts));
    m.insert(QStringLiteral("temperatureCelsiusMilliDegrees"), qlonglong(s.temperatureCelsiusMilliDegrees));
    m.insert(QStringLiteral("errorFlags"), qlonglong(s.errorFlags));
    m.insert(QStringLiteral("cpuFrequency"), qlonglong(s.cpuFrequency));
    return m;
}

QByteArray TarrowindFirmware::deviceIdRecord() const
{
    return QByteArray(reinterpret_cast<const char *>(m_deviceIdRecord), sizeof m_deviceIdRecord);
}

QByteArray TarrowindFirmware::statsRecord() const
{
    return QByteArray(reinterpret_cast<const char *>(m_statsRecord), sizeof m_statsRecord);
}

namespace {
bool toUShort(const QVariant &v, uint16_t *out)
{
    bool ok = false;
    const uint value = v.toUInt(&ok);
    if (!ok || value > 0xFFFF)
        return false;
    *out = uint16_t(value);
    return true;
}
}  // namespace

QVariantList TarrowindFirmware::temporaries16() const
{
    return m_variables.list(VariableCache::Temporary16);
}

QVariantList TarrowindFirmware::persistents16() const
{
    return m_variables.list(VariableCache::Persistent16);
}

QVariantList TarrowindFirmware::persistents256() const
{
    return m_variables.list(VariableCache::Persistent256);
}

QVariantList TarrowindFirmware::permanents16() const
{
    return m_variables.list(VariableCache::Permanent16);
}

QVariantList TarrowindFirmware::permanents256() const
{
    return m_variables.list(VariableCache::Permanent256);
}

// A value the user changed is cached at once and written to the device.
void TarrowindFirmware::setVariables16(VariableCache::Family family, const QVariantList &values,
                                       void (TarrowindFirmware::*changed)())
{
    bool anyChanged = false;
    const int n = std::min(int(values.size()), VariableCache::count(family));
    for (int i = 0; i < n; ++i) {
        uint16_t v;
        if (!toUShort(values.at(i), &v) || v == m_variables.value16(family, i))
            continue;
        m_variables.store16(family, i, v);
        if (family == VariableCache::Temporary16)
            sendWriteTemporary16(TemporaryName16(i), v);
        else
            sendWritePersistent16(PersistentName16(i), v);
        anyChanged = true;
    }
    if (anyChanged)
        emit(this->*changed)();
}

void TarrowindFirmware::setTemporaries16(QVariantList values)
{
    setVariables16(VariableCache::Temporary16, values, &TarrowindFirmware::temporaries16Changed);
}

void TarrowindFirmware::setPersistents16(QVariantList values)
{
    setVariables16(VariableCache::Persistent16, values, &TarrowindFirmware::persistents16Changed);
}

void TarrowindFirmware::setPersistents256(QVariantList values)
{
    bool changed = false;
    const int n = std::min(int(values.size()), kPersistent256Count);
    for (int i = 0; i < n; ++i) {
        const QVariant &e = values.at(i);
        if (e.userType() != qMetaTypeId<uint256_t>() && !e.canConvert<uint256_t>())
            continue;
        const uint256_t v = e.value<uint256_t>();
        if (v == m_variables.value256(VariableCache::Persistent256, i))
            continue;
        m_variables.store256(VariableCache::Persistent256, i, v);
        sendWritePersistent256(PersistentName256(i), v);
        changed = true;
    }
    if (changed)
        emit persistents256Changed();
}

QString TarrowindFirmware::qmlToString(Network::uint256_t value) const
{
    return text256(value);
}

Network::uint256_t TarrowindFirmware::qmlToPersistent256(const QString &text) const
{
    uint256_t v;
    const QByteArray utf8 = text.toUtf8();
    std::memcpy(v.bytes, utf8.constData(), size_t(std::min(int(utf8.size()), 32)));
    return v;
}

// ---------------------------------------------------------------- properties and state

void TarrowindFirmware::setTargetBaud(uint32_t targetBaud)
{
    if (m_targetBaud == targetBaud)
        return;
    m_targetBaud = targetBaud;
    emit targetBaudChanged(targetBaud);
    if (m_connectionState != ConnectionState_Unconnected)
        sendSetNetworkUartBaud(targetBaud);
}

void TarrowindFirmware::setIoDevice(QIODevice *device)
{
    clearQueue();
    if (m_ioDevice)
        disconnect(m_ioDevice.data(), &QIODevice::readyRead, this, &TarrowindFirmware::handleReadyRead);
    if (device && !device->isOpen()) {
        logWarning(QStringLiteral("IODevice is not open, using null instead"));
        device = nullptr;
    }
    m_ioDevice = device;
    // Bytes of a packet half received from the previous device must not join the new stream.
    m_parser.reset();
    if (m_connectionState != ConnectionState_Unconnected)
        dropConnection();
    emit ioDeviceChanged();
    if (device)
        connect(device, &QIODevice::readyRead, this, &TarrowindFirmware::handleReadyRead);
}

void TarrowindFirmware::setKeepAliveEnabled(bool enabled)
{
    if (m_keepAliveEnabled == enabled)
        return;
    m_keepAliveEnabled = enabled;
    emit keepAliveEnabledChanged(enabled);
    if (enabled)
        m_keepAliveTimer.start();
    else
        m_keepAliveTimer.stop();
}

void TarrowindFirmware::setConnectionState(ConnectionState state)
{
    if (m_connectionState == state)
        return;
    if (state != ConnectionState_Ready) {
        clearRemoteKnowledge();
        // Cancelling the query batch there drops the connection from inside (onPacketFinished):
        // that call has announced the new state already.
        if (m_connectionState == state)
            return;
    }
    m_connectionState = state;
    emit connectionStateChanged(state);
}

void TarrowindFirmware::dropConnection()
{
    setConnectionState(ConnectionState_Unconnected);
}

void TarrowindFirmware::setDateTime(QDateTime deviceTime)
{
    m_skewMs = QDateTime::currentDateTimeUtc().msecsTo(deviceTime);
    m_dateTime = deviceTime;
    emit dateTimeChanged();
}

void TarrowindFirmware::checkQueueClear()
{
    setQueueClear(m_queue.onlyPolling());
}

void TarrowindFirmware::setQueueClear(bool queueClear)
{
    if (m_queueClear == queueClear)
        return;
    m_queueClear = queueClear;
    emit queueClearChanged(queueClear);
}

void TarrowindFirmware::clearQueue()
{
    if (m_clearingQueue)
        return;
    m_clearingQueue = true;
    const std::vector<SendQueue::Entry> taken = m_queue.takeAll();
    for (const SendQueue::Entry &e : taken)
        emit packetFinished(e.requestId(), PacketOutcome_Cancelled);
    m_clearingQueue = false;
    checkQueueClear();
}

void TarrowindFirmware::cancelRequest(uint16_t requestId)
{
    const int before = m_queue.size();
    m_queue.remove(requestId);
    if (m_queue.size() == before)
        return;
    emit packetFinished(requestId, PacketOutcome_Cancelled);
    checkQueueClear();
}

void TarrowindFirmware::clearRemoteKnowledge()
{
    clearQueue();
    std::memset(m_deviceIdRecord, 0, sizeof m_deviceIdRecord);
    std::memset(m_statsRecord, 0, sizeof m_statsRecord);
    m_variables.clear();
    m_skewMs = 0;
    m_dateTime = QDateTime::fromMSecsSinceEpoch(0, Qt::UTC);
    m_dateTimeQueryId = 0;
    m_pendingQueryIds.clear();
    emit getIdInfoChanged();
    emit statsChanged();
    emit temporaries16Changed();
    emit permanents16Changed();
    emit permanents256Changed();
    emit persistents16Changed();
    emit persistents256Changed();
}

void TarrowindFirmware::onPacketFinished(uint16_t requestId, PacketOutcome outcome)
{
    if (m_connectionState != ConnectionState_QueryingInfo)
        return;
    if (outcome == PacketOutcome_Expired || outcome == PacketOutcome_Cancelled) {
        dropConnection();
        return;
    }
    if (requestId != 0 && requestId == m_dateTimeQueryId)
        m_dateTimeQueryId = 0;
    else
        m_pendingQueryIds.erase(requestId);
    if (m_dateTimeQueryId == 0 && m_pendingQueryIds.empty())
        setConnectionState(ConnectionState_Ready);
}

// ---------------------------------------------------------------- sending

uint16_t TarrowindFirmware::nextRequestId()
{
    uint16_t id;
    do {
        id = m_requestCounter.fetch_add(1, std::memory_order_relaxed);
    } while (id == 0);
    return id;
}

bool TarrowindFirmware::deviceWritable() const
{
    return m_ioDevice && m_ioDevice->isOpen();
}

void TarrowindFirmware::writeBytes(const void *data, int length)
{
    if (deviceWritable())
        m_ioDevice->write(static_cast<const char *>(data), length);
}

uint16_t TarrowindFirmware::queueAndWrite(const void *packetIn, int length)
{
    SendQueue::Entry entry;
    if (!SendQueue::makeEntry(packetIn, length, &entry))
        return 0;
    if (m_connectionState != ConnectionState_QueryingInfo && m_connectionState != ConnectionState_Ready)
        return 0;
    const uint16_t id = entry.requestId();
    m_queue.push(entry);
    checkQueueClear();
    if (!deviceWritable())
        return 0;
    // Write from a copy: a synchronous answer may already change the queue.
    m_ioDevice->write(reinterpret_cast<const char *>(entry.packet), length);
    return id;
}

template <typename T> uint16_t TarrowindFirmware::sendStruct(T &packet, uint16_t type, uint16_t requestId)
{
    packet.base.type = type;
    packet.base.checksum = 0;
    packet.base.requestId = requestId;
    return queueAndWrite(&packet, int(sizeof(T)));
}

template <typename T> uint16_t TarrowindFirmware::sendNew(T &packet, uint16_t type)
{
    if (!m_ioDevice)
        return 0;
    return sendStruct(packet, type, nextRequestId());
}

uint16_t TarrowindFirmware::sendHeaderOnly(uint16_t type)
{
    struct {
        PacketBase base;
    } p{};
    return sendNew(p, type);
}

uint16_t TarrowindFirmware::sendName(uint16_t type, uint16_t name)
{
    C2S_ReadVariablePacket p{};
    p.name = name;
    return sendNew(p, type);
}

uint16_t TarrowindFirmware::sendRange(uint16_t type, uint16_t first, uint16_t count)
{
    C2S_ReadVariables16Packet p{};
    p.first = first;
    p.count = count;
    return sendNew(p, type);
}

uint16_t TarrowindFirmware::sendGetDeviceId()
{
    return sendHeaderOnly(C2S_GetDeviceId);
}

uint16_t TarrowindFirmware::sendReadTemporary16(TemporaryName16 name)
{
    return sendName(C2S_ReadTemporary16, uint16_t(name));
}

uint16_t TarrowindFirmware::sendReadTemporaries16(TemporaryName16 first, uint16_t count)
{
    return sendRange(C2S_ReadTemporaries16, uint16_t(first), count);
}

uint16_t TarrowindFirmware::sendWriteTemporary16(TemporaryName16 name, uint16_t value)
{
    C2S_WriteVariable16Packet p{};
    p.name = uint16_t(name);
    p.value = value;
    return sendNew(p, C2S_WriteTemporary16);
}

uint16_t TarrowindFirmware::sendReadPersistent16(PersistentName16 name)
{
    return sendName(C2S_ReadPersistent16, uint16_t(name));
}

uint16_t TarrowindFirmware::sendReadPersistents16(PersistentName16 first, uint16_t count)
{
    return sendRange(C2S_ReadPersistents16, uint16_t(first), count);
}

uint16_t TarrowindFirmware::sendReadPersistent256(PersistentName256 name)
{
    return sendName(C2S_ReadPersistent256, uint16_t(name));
}

uint16_t TarrowindFirmware::sendWritePersistent16(PersistentName16 name, uint16_t value)
{
    C2S_WriteVariable16Packet p{};
    p.name = uint16_t(name);
    p.value = value;
    return sendNew(p, C2S_WritePersistent16);
}

uint16_t TarrowindFirmware::sendWritePersistent256(PersistentName256 name, uint256_t value)
{
    C2S_WriteVariable256Packet p{};
    p.name = uint16_t(name);
    p.value = value;
    return sendNew(p, C2S_WritePersistent256);
}

uint16_t TarrowindFirmware::sendSavePersistents()
{
    return sendHeaderOnly(C2S_SavePersistents);
}

uint16_t TarrowindFirmware::sendClearPersistents()
{
    return sendHeaderOnly(C2S_ClearPersistents);
}

uint16_t TarrowindFirmware::sendReadPermanent16(PermanentName16 name)
{
    return sendName(C2S_ReadPermanent16, uint16_t(name));
}

uint16_t TarrowindFirmware::sendReadPermanents16(PermanentName16 first, uint16_t count)
{
    return sendRange(C2S_ReadPermanents16, uint16_t(first), count);
}

uint16_t TarrowindFirmware::sendReadPermanent256(PermanentName256 name)
{
    return sendName(C2S_ReadPermanent256, uint16_t(name));
}

uint16_t TarrowindFirmware::sendPushAlgorithmParameters(QByteArray parametersPacket)
{
    if (m_connectionState != ConnectionState_Ready || !m_ioDevice)
        return 0;
    // A short image would send stack garbage: refuse it.
    if (parametersPacket.size() < kAlgorithmParametersPacketSize) {
        logWarning(QStringLiteral("sendPushAlgorithmParameters: packet of %1 bytes is shorter than %2")
                       .arg(parametersPacket.size())
                       .arg(kAlgorithmParametersPacketSize));
        return 0;
    }
    C2S_PushAlgorithmParametersPacket p;
    std::memcpy(&p, parametersPacket.constData(), sizeof p);
    return sendStruct(p, C2S_PushAlgorithmParameters, nextRequestId());
}

uint16_t TarrowindFirmware::sendPullAlgorithmParameters(Algorithm algorithm)
{
    return sendName(C2S_PullAlgorithmParameters, uint16_t(algorithm));
}

uint16_t TarrowindFirmware::sendSetDateTime()
{
    if (m_connectionState != ConnectionState_Ready || !m_ioDevice)
        return 0;
    C2S_SetDateTimePacket p{};
    p.time = (QDateTime::currentMSecsSinceEpoch() + 30) * TimeTypes::Epoch1970::kNanosPerMilli;
    return sendNew(p, C2S_SetDateTime);
}

uint16_t TarrowindFirmware::sendGetDateTime()
{
    return sendHeaderOnly(C2S_GetDateTime);
}

uint16_t TarrowindFirmware::sendFlashRead528(uint32_t offset528)
{
    const uint16_t id = nextRequestId();
    return sendFlashRead528(id, offset528);
}

uint16_t TarrowindFirmware::sendFlashRead528(uint16_t requestId, uint32_t offset528)
{
    if (!m_ioDevice)
        return 0;
    C2S_FlashRead528Packet p{};
    p.offset528 = offset528;
    const uint16_t type = patchLevelVersion() >= kLzSectorReadPatchLevel ? C2S_FlashReadLz528 : C2S_FlashRead528;
    return sendStruct(p, type, requestId);
}

uint16_t TarrowindFirmware::sendFlashReadPage(uint16_t requestId, uint32_t pageIndex, uint8_t compression,
                                              uint32_t pageIndexNext)
{
    if (!m_ioDevice)
        return 0;
    C2S_FlashReadPagePacket p{};
    p.pageIndex = pageIndex;
    p.pageIndexNext = pageIndexNext;
    p.compression = compression;
    return sendStruct(p, C2S_FlashReadPage, requestId);
}

uint16_t TarrowindFirmware::sendFlashReadPage(uint16_t requestId, uint32_t pageIndex, uint8_t compression)
{
    return sendFlashReadPage(requestId, pageIndex, compression, kNoNextPage);
}

uint16_t TarrowindFirmware::sendFlashCommitNow()
{
    return sendHeaderOnly(C2S_FlashCommitNow);
}

uint16_t TarrowindFirmware::sendRtcCalibrate()
{
    if (m_connectionState != ConnectionState_Ready)
        return 0;
    return sendHeaderOnly(C2S_RtcCalibrate);
}

uint16_t TarrowindFirmware::sendEnterBootloader()
{
    logLine(QStringLiteral("TarrowindFirmware::sendEnterBootloader()"));
    const uint16_t id = sendHeaderOnly(C2S_EnterBootloader);
    if (auto *port = qobject_cast<AbstractSerialPort *>(m_ioDevice.data())) {
        port->flush();
        port->waitForBytesWritten(100);
    }
    clearQueue();
    if (m_ioDevice)
        disconnect(m_ioDevice.data(), &QIODevice::readyRead, this, &TarrowindFirmware::handleReadyRead);
    m_ioDevice = nullptr;
    m_parser.reset();
    if (m_connectionState != ConnectionState_Unconnected)
        dropConnection();
    emit ioDeviceChanged();
    return id;
}

uint16_t TarrowindFirmware::sendRestart()
{
    return sendHeaderOnly(C2S_Restart);
}

uint16_t TarrowindFirmware::sendDebugFunc()
{
    return sendHeaderOnly(C2S_DebugFunc);
}

uint16_t TarrowindFirmware::sendLearnAlgorithmParameters()
{
    return sendHeaderOnly(C2S_LearnAlgorithmParameters);
}

uint16_t TarrowindFirmware::sendGetStats()
{
    return sendHeaderOnly(C2S_GetStats);
}

uint16_t TarrowindFirmware::sendKeepAlive()
{
    return sendHeaderOnly(C2S_KeepAlive);
}

uint16_t TarrowindFirmware::sendFlashCreate()
{
    if (m_connectionState != ConnectionState_Ready)
        return 0;
    return sendHeaderOnly(C2S_FlashCreate);
}

uint16_t TarrowindFirmware::sendGetFileSystemState()
{
    return sendHeaderOnly(C2S_FlashGetState);
}

uint16_t TarrowindFirmware::sendSetNetworkUartBaud(uint32_t baud)
{
    if (patchLevelVersion() <= kUartConfigPatchLevel)
        return 0;
    C2S_NetworkUartConfigPacket p{};
    p.baud = baud;
    return sendNew(p, C2S_NetworkUartConfig);
}

// ---------------------------------------------------------------- timers

void TarrowindFirmware::retryTimerTick()
{
    if (m_retryTickCount++ % 2 == 1 && !m_parser.badData().isEmpty()) {
        const QByteArray bad = m_parser.badData();
        m_parser.clearBadData();
        logWarning(QStringLiteral("Bad data (No header found)") + hexDump(bad.constData(), bad.size()));
    }

    // Writes wait until the walk over the queue is done: an answer handled synchronously
    // during a write must not find the queue half updated.
    const SendQueue::Tick tick = m_queue.tick(deviceWritable());
    for (const SendQueue::Entry &e : tick.resends) {
        if (!isPollingType(e.type()))
            logLine(QStringLiteral("Resending packet [requestId:%1 type:%2]")
                        .arg(e.requestId())
                        .arg(packetTypeName(e.type())));
    }
    for (const SendQueue::Entry &e : tick.resends)
        writeBytes(e.packet, e.length);

    const std::vector<SendQueue::Entry> &expired = tick.expired;
    bool dropsConnection = false;
    for (const SendQueue::Entry &e : expired) {
        emit packetFinished(e.requestId(), PacketOutcome_Expired);
        if (!isPollingType(e.type())) {
            logWarning(QStringLiteral("Network packet timeout [requestId:%1 type:%2]")
                           .arg(e.requestId())
                           .arg(packetTypeName(e.type())));
            dropsConnection = true;
        }
    }
    if (!expired.empty())
        checkQueueClear();
    if (dropsConnection && m_connectionState != ConnectionState_Unconnected)
        dropConnection();
}

void TarrowindFirmware::keepAliveTimerTick()
{
    if (m_connectionState == ConnectionState_Unconnected)
        return;
    if (!m_lastReceiveTimer.isValid() || m_lastReceiveTimer.elapsed() > kSilenceLimitMs) {
        dropConnection();
        return;
    }
    if (m_connectionState != ConnectionState_Ready)
        return;
    sendGetDeviceId();
    if (m_ioDevice)
        sendGetStats();
    if (m_ioDevice)
        sendGetDateTime();
}

// ---------------------------------------------------------------- receiving

void TarrowindFirmware::handleReadyRead()
{
    QIODevice *device = m_ioDevice.data();
    if (!device)
        return;
    const qint64 chunk = std::min<qint64>(device->bytesAvailable(), kReadChunk);
    if (chunk <= 0)
        return;
    for (;;) {
        const qint64 n = device->read(m_readScratch, chunk);
        if (n <= 0)
            break;
        m_parser.feed(m_readScratch, int(n));
        if (m_ioDevice.data() != device)
            break;
    }
}

void TarrowindFirmware::processIncoming(const QByteArray &bytes)
{
    m_parser.feed(bytes);
}

void TarrowindFirmware::dispatch(const PacketBase &packet, int length)
{
    const uint16_t type = packet.type;
    if (m_connectionState == ConnectionState_Unconnected && type != S2C_DebugMessage && type != S2C_GetDeviceIdResult &&
        type != S2C_FlashCreateProgress && type != S2C_FlashCreateResult)
        return;
    m_lastReceiveTimer.restart();

    const bool hasId = packetHasRequestId(type);
    const uint16_t requestId = hasId ? packet.requestId : 0;
    // The answered request leaves the queue before its handler runs, so a handler that clears
    // the queue (or drops the connection) cannot also report it as cancelled.
    if (hasId)
        m_queue.remove(requestId);

    const PacketOutcome outcome = handlePacket(packet, length);
    if (hasId)
        emit packetFinished(requestId, outcome);
    checkQueueClear();
}

void TarrowindFirmware::handleDeviceId(const PacketBase &packet)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(&packet);
    constexpr int kIdentityOffset = 8;
    constexpr int kIdentitySize = 64;
    if (std::memcmp(bytes + kIdentityOffset, m_deviceIdRecord + kIdentityOffset, kIdentitySize) == 0)
        return;
    const auto &p = as<S2C_GetDeviceIdResultPacket>(packet);
    logLine(QStringLiteral("New connection lastId:") + uniqueId() + QStringLiteral("newId:") +
            latin1Field(p.uniqueId, 32));
    if (m_connectionState != ConnectionState_QueryingInfo)
        setConnectionState(ConnectionState_QueryingInfo);
    std::memcpy(m_deviceIdRecord, bytes, sizeof m_deviceIdRecord);
    queryInfoBatch();
    emit getIdInfoChanged();
}

void TarrowindFirmware::queryInfoBatch()
{
    std::set<uint16_t> ids;
    ids.insert(sendSetNetworkUartBaud(m_targetBaud));
    ids.insert(sendWriteTemporary16(TemporaryName16::FlashLogging_RemoteLock, 0));
    ids.insert(sendWriteTemporary16(TemporaryName16::RawXyzOutput_Enable, 1));
    m_dateTimeQueryId = sendGetDateTime();
    if (patchLevelVersion() >= kBulkReadsPatchLevel) {
        ids.insert(sendReadPermanents16(PermanentName16::Deprecated_ServerType, kPermanent16Count));
        ids.insert(sendReadPersistents16(PersistentName16::Algorithm, kPersistent16Count));
        ids.insert(sendReadTemporaries16(TemporaryName16::RawXyzOutput_Enable, kTemporary16Count));
    } else {
        for (int i = 0; i < kTemporary16Count; ++i)
            ids.insert(sendReadTemporary16(TemporaryName16(i)));
        for (int i = 0; i < kPersistent16Count; ++i)
            ids.insert(sendReadPersistent16(PersistentName16(i)));
        for (int i = 0; i < kPermanent16Count; ++i)
            ids.insert(sendReadPermanent16(PermanentName16(i)));
    }
    ids.insert(sendReadPersistent256(PersistentName256::DeviceName_UserString));
    ids.insert(sendReadPersistent256(PersistentName256::DeviceName_JobNameString));
    ids.insert(sendReadPermanent256(PermanentName256::SerialNumber));
    ids.erase(0);
    m_pendingQueryIds.insert(ids.begin(), ids.end());
}

void TarrowindFirmware::handleStats(const PacketBase &packet)
{
    const auto &p = as<S2C_GetStatsResultPacket>(packet);
    const auto &old = as<S2C_GetStatsResultPacket>(*reinterpret_cast<const PacketBase *>(m_statsRecord));
    if (p.uptimeNanos < old.uptimeNanos && m_connectionState != ConnectionState_Unconnected)
        dropConnection();
    std::memcpy(m_statsRecord, &packet, sizeof m_statsRecord);
    emit statsChanged();
}

void TarrowindFirmware::handleDataPoints(const PacketBase &packet)
{
    const auto &p = as<S2C_DataPointsPacket>(packet);
    const int64_t t0 = p.t0;
    for (int k = 0; k < 5; ++k) {
        uint32_t descriptor = 0;
        if (k > 0) {
            descriptor = p.descriptors[k - 1];
            if ((descriptor & 1u) == 0)
                break;
        }
        const XyzSample s = p.samples[k];
        XyzSampleTimestamped out;
        out.x = s.x;
        out.y = s.y;
        out.z = s.z;
        out.timestamp = t0 + int64_t(descriptor >> 1);
        emit sampleAvailable(out);
    }
}

PacketOutcome TarrowindFirmware::handleFlashRead(const PacketBase &packet, int length)
{
    FlashReadResult r;
    const uint16_t type = packet.type;
    if (type == S2C_FlashRead528Result) {
        const auto &p = as<S2C_FlashRead528ResultPacket>(packet);
        if (ReadStatus(p.status) != ReadStatus::Ok)
            logLine(QStringLiteral("FlashRead528Result[offset528:%1, status:%2]")
                        .arg(p.offset528)
                        .arg(enumName(ReadStatus(p.status))));
        r = FlashReadDecoder::decodeRead528(packet, length);
    } else if (type == S2C_FlashReadLz528Result) {
        const auto &p = as<S2C_FlashReadLz528ResultPacket>(packet);
        if (ReadStatus(p.status) != ReadStatus::Ok)
            logLine(QStringLiteral("S2C_FlashReadLz528Result[offset528:%1, status:%2, compressSuccess:%3, dataSize:%4]")
                        .arg(p.offset528)
                        .arg(enumName(ReadStatus(p.status)))
                        .arg(p.compressSuccess)
                        .arg(p.dataSize));
        r = FlashReadDecoder::decodeReadLz528(packet, length);
    } else {
        const auto &p = as<S2C_FlashReadPageResultPacket>(packet);
        if (ReadStatus(p.status) != ReadStatus::Ok)
            logLine(QStringLiteral("S2C_FlashReadPageResult[pageIndex:%1, status:%2, compression:%3, dataSize:%4]")
                        .arg(p.pageIndex)
                        .arg(enumName(ReadStatus(p.status)))
                        .arg(p.compression)
                        .arg(p.dataSize));
        r = FlashReadDecoder::decodeReadPage(packet, length);
    }
    if (!r.ok()) {
        logWarning(r.error);
        return PacketOutcome_Errored;
    }
    if (type == S2C_FlashReadPageResult)
        emit recvFlashReadPageResult(r.requestId, r.position, r.status, r.data);
    else
        emit recvFlashRead528Result(r.requestId, r.position, r.status, r.data);
    return PacketOutcome_Handled;
}

// ---------------------------------------------------------------- receiving: the result tables

// One row per variable result: how the packet is laid out, the text its log line starts with,
// the family that names its variables and caches its values (with the family's count), and the
// signal a stored value announces (none for write results, which only report an error code).
struct TarrowindFirmware::VariableResult {
    enum Shape { Read16, ReadRange16, Read256, Write };

    uint16_t type;
    const char *label;
    Shape shape;
    VariableCache::Family family;
    void (TarrowindFirmware::*changed)();
};

const TarrowindFirmware::VariableResult *TarrowindFirmware::findVariableResult(uint16_t type)
{
    using F = VariableCache;
    using R = VariableResult;
    static const VariableResult kResults[] = {
        {S2C_ReadTemporary16Result, "ReadTemporary16Result", R::Read16, F::Temporary16,
         &TarrowindFirmware::temporaries16Changed},
        {S2C_ReadPersistent16Result, "ReadPersistent16Result", R::Read16, F::Persistent16,
         &TarrowindFirmware::persistents16Changed},
        {S2C_ReadPermanent16Result, "ReadPermanent16Result", R::Read16, F::Permanent16,
         &TarrowindFirmware::permanents16Changed},
        {S2C_ReadTemporaries16Result, "ReadTemporaries16Result", R::ReadRange16, F::Temporary16,
         &TarrowindFirmware::temporaries16Changed},
        {S2C_ReadPersistents16Result, "ReadPersistents16Result", R::ReadRange16, F::Persistent16,
         &TarrowindFirmware::persistents16Changed},
        {S2C_ReadPermanents16Result, "ReadPermanents16Result", R::ReadRange16, F::Permanent16,
         &TarrowindFirmware::permanents16Changed},
        {S2C_ReadPersistent256Result, "ReadPersistent256Result", R::Read256, F::Persistent256,
         &TarrowindFirmware::persistents256Changed},
        {S2C_ReadPermanent256Result, "ReadPermanent256Result", R::Read256, F::Permanent256,
         &TarrowindFirmware::permanents256Changed},
        {S2C_WriteTemporary16Result, "WriteTemporary16Result", R::Write, F::Temporary16, nullptr},
        {S2C_WritePersistent16Result, "WritePersistent16Result", R::Write, F::Persistent16, nullptr},
        {S2C_WritePermanent16Result, "WritePermanent16Result", R::Write, F::Permanent16, nullptr},
        {S2C_WritePersistent256Result, "WritePersistent256Result", R::Write, F::Persistent256, nullptr},
        {S2C_WritePermanent256Result, "WritePermanent256Result", R::Write, F::Permanent256, nullptr},
    };
    for (const VariableResult &r : kResults)
        if (r.type == type)
            return &r;
    return nullptr;
}

namespace {
// Results that carry only an error code.
struct ErrorResult {
    uint16_t type;
    const char *label;
};

constexpr ErrorResult kErrorResults[] = {
    {S2C_SavePersistentsResult, "SavePersistentsResult"},
    {S2C_ClearPersistentsResult, "ClearPersistentsResult"},
    {S2C_SavePermanentsResult, "SavePermanentsResult"},
    {S2C_PushAlgorithmParametersResult, "PushAlgorithmParametersResult"},
};

// Acknowledgements without payload. After entering its bootloader or calibrating its clock
// the logger goes quiet for a while: the connection is dropped rather than left to expire.
struct Ack {
    uint16_t type;
    const char *label;
    bool dropsConnection;
};

constexpr Ack kAcks[] = {
    {S2C_EnterBootloaderAck, "EnterBootloaderAck", true},
    {S2C_RtcCalibrateAck, "RtcCalibrateAck", true},
    {S2C_RestartAck, "RestartAck", false},
    {S2C_DebugFuncAck, "DebugFuncAck", false},
    {S2C_FlashCreateAck, "FlashCreateAck", false},
    {S2C_SetDateTimeAck, "SetDateTimeAck", false},
    {S2C_KeepAliveAck, "KeepAliveAck", false},
    {S2C_LearnAlgorithmParametersAck, "LearnAlgorithmParametersAck", false},
    {S2C_FlashCommitNowAck, "FlashCommitNowAck", false},
};

template <typename T, size_t N> const T *findRow(const T (&table)[N], uint16_t type)
{
    for (const T &row : table)
        if (row.type == type)
            return &row;
    return nullptr;
}
}  // namespace

// ---------------------------------------------------------------- receiving: handlers

PacketOutcome TarrowindFirmware::handlePacket(const PacketBase &packet, int length)
{
    const uint16_t type = packet.type;
    if (const VariableResult *result = findVariableResult(type)) {
        handleVariableResult(*result, packet, length);
        return PacketOutcome_Handled;
    }
    if (const ErrorResult *result = findRow(kErrorResults, type)) {
        handleErrorResult(type, result->label, packet);
        return PacketOutcome_Handled;
    }
    if (const Ack *ack = findRow(kAcks, type)) {
        logLine(QLatin1String(ack->label));
        if (ack->dropsConnection && m_connectionState != ConnectionState_Unconnected)
            dropConnection();
        return PacketOutcome_Handled;
    }
    switch (type) {
    case S2C_GetDeviceIdResult:
        handleDeviceId(packet);
        break;
    case S2C_GetStatsResult:
        handleStats(packet);
        break;
    case S2C_GetDateTimeResult: {
        const int64_t ns = as<S2C_GetDateTimeResultPacket>(packet).time;
        setDateTime(QDateTime::fromMSecsSinceEpoch(ns / TimeTypes::Epoch1970::kNanosPerMilli, Qt::UTC));
        break;
    }
    case S2C_FlashCreateResult: {
        const auto &p = as<S2C_FlashCreateResultPacket>(packet);
        logLine(QStringLiteral("FlashCreateResult[createStatus:%1]").arg(p.createStatus));
        emit recvFlashCreateResult(p.base.requestId, p.createStatus);
        break;
    }
    case S2C_FlashCreateProgress: {
        const double fraction = as<S2C_FlashCreateProgressPacket>(packet).progress / 65535.0;
        logLine(QStringLiteral("FlashCreateProgress[progress:%1]")
                    .arg(QString::number(fraction, 'g', QLocale::FloatingPointShortest)));
        emit recvFlashCreateProgress(fraction);
        break;
    }
    case S2C_FlashGetStateResult:
        handleFileSystemState(packet);
        break;
    case S2C_FlashRead528Result:
    case S2C_FlashReadLz528Result:
    case S2C_FlashReadPageResult:
        return handleFlashRead(packet, length);
    case S2C_PullAlgorithmParametersResult:
        emit recvPullAlgorithmParametersResult(
            packet.requestId, QByteArray(reinterpret_cast<const char *>(&packet), kAlgorithmParametersPacketSize));
        break;
    case S2C_NetworkUartConfigChange: {
        const auto &p = as<S2C_NetworkUartConfigChangePacket>(packet);
        logLine(QStringLiteral("S2C_NetworkUartConfigChange[baudRate:%1]").arg(p.baudRate));
        if (auto *port = qobject_cast<AbstractSerialPort *>(m_ioDevice.data()))
            port->setBaudRate(int(p.baudRate), AbstractSerialPort::AllDirections);
        break;
    }
    case S2C_DataPoints:
        handleDataPoints(packet);
        break;
    case S2C_DebugMessage:
        handleDebugMessage(packet, length);
        break;
    default:
        break;
    }
    return PacketOutcome_Handled;
}

void TarrowindFirmware::handleVariableResult(const VariableResult &result, const PacketBase &packet, int length)
{
    switch (result.shape) {
    case VariableResult::Read16:
        handleReadVariable16(result, packet);
        break;
    case VariableResult::ReadRange16:
        handleReadVariables16(result, packet, length);
        break;
    case VariableResult::Read256:
        handleReadVariable256(result, packet);
        break;
    case VariableResult::Write: {
        const auto &p = as<S2C_WriteVariableResultPacket>(packet);
        logLine(QLatin1String(result.label) + QStringLiteral("[name:") +
                VariableCache::variableName(result.family, p.name) + QStringLiteral(" error:%1]").arg(p.error));
        if (p.error != 0)
            emit resultErrorCode(p.base.requestId, p.error);
        break;
    }
    }
}

// A value read with an error is logged but not cached.
void TarrowindFirmware::handleReadVariable16(const VariableResult &result, const PacketBase &packet)
{
    const auto &p = as<S2C_ReadVariable16ResultPacket>(packet);
    logLine(QLatin1String(result.label) + QStringLiteral("[name:") +
            VariableCache::variableName(result.family, p.name) +
            QStringLiteral(" value:%1 error:%2]").arg(p.value).arg(p.error));
    if (p.error != 0) {
        emit resultErrorCode(p.base.requestId, p.error);
        return;
    }
    m_variables.store16(result.family, p.name, p.value);
    emit(this->*result.changed)();
}

void TarrowindFirmware::handleReadVariables16(const VariableResult &result, const PacketBase &packet, int length)
{
    const auto &p = as<S2C_ReadVariables16ResultPacket>(packet);
    const uint8_t *values = reinterpret_cast<const uint8_t *>(&packet) + sizeof p;
    // The parser framed the packet from dataSize; an odd size leaves one unused byte.
    const int count = std::min<int>(p.dataSize, length - int(sizeof p)) / 2;
    QString text = QLatin1String(result.label) + QStringLiteral("[first:") +
                   VariableCache::variableName(result.family, p.first) + QStringLiteral(" count:%1").arg(count);
    for (int k = 0; k < count; ++k) {
        const uint16_t value = uint16_t(values[2 * k] | values[2 * k + 1] << 8);
        const int name = int(p.first) + k;
        text += QStringLiteral("\n  ") + VariableCache::variableName(result.family, uint16_t(name)) + QLatin1Char(':') +
                QString::number(value);
        m_variables.store16(result.family, name, value);
    }
    text += QStringLiteral("\n]");
    logLine(text);
    emit(this->*result.changed)();
}

void TarrowindFirmware::handleReadVariable256(const VariableResult &result, const PacketBase &packet)
{
    const auto &p = as<S2C_ReadVariable256ResultPacket>(packet);
    const uint256_t value = p.value;
    logLine(QLatin1String(result.label) + QStringLiteral("[name:") +
            VariableCache::variableName(result.family, p.name) + QStringLiteral(" value:") + text256(value) +
            QStringLiteral(" error:%1]").arg(p.error));
    if (p.error != 0) {
        emit resultErrorCode(p.base.requestId, p.error);
        return;
    }
    m_variables.store256(result.family, p.name, value);
    emit(this->*result.changed)();
}

void TarrowindFirmware::handleErrorResult(uint16_t type, const char *label, const PacketBase &packet)
{
    const auto &p = as<S2C_ErrorResultPacket>(packet);
    logLine(QLatin1String(label) + QStringLiteral("[error:%1]").arg(p.error));
    if (p.error != 0)
        emit resultErrorCode(p.base.requestId, p.error);
    if (type == S2C_ClearPersistentsResult && p.error == 0) {
        m_variables.clearPersistents();
        emit persistents16Changed();
        emit persistents256Changed();
    }
}

void TarrowindFirmware::handleFileSystemState(const PacketBase &packet)
{
    const auto &p = as<S2C_FlashGetStateResultPacket>(packet);
    logLine(QStringLiteral("FileSystemStateResult ..."));
    uint32_t mountStatus;
    std::memcpy(&mountStatus, p.state, 4);
    emit recvGetFileSystemStateResult(p.base.requestId, mountStatus == 1,
                                      QByteArray(reinterpret_cast<const char *>(p.state), kFilesystemStateSize));
}

void TarrowindFirmware::handleDebugMessage(const PacketBase &packet, int length)
{
    const auto &p = as<S2C_DebugMessagePacket>(packet);
    const char *text = reinterpret_cast<const char *>(&packet) + sizeof p;
    int n = std::min<int>(p.length, length - int(sizeof p));
    if (n > 0 && text[n - 1] == '\n')
        --n;
    logLine(QStringLiteral("DebugMessage[message:") + QString::fromUtf8(text, n) + QLatin1Char(']'));
}
