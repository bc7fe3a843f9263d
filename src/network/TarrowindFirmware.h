#pragma once

// How the protocol library reports failure (nothing here throws):
// - Every send...() returns the request id, or 0 when it was not sent (no device, not
//   connected, or the device would not take the bytes).
// - Every request that was sent ends with exactly one packetFinished(id, PacketOutcome):
//   Handled, Expired (no answer after the retries), Cancelled (the device went away) or Errored
//   (an answer that could not be read). Results themselves arrive as recv...() signals and in
//   the caches; error codes inside results are logged, not signalled.
// - A lost logger shows as connectionState going back to ConnectionState_Unconnected.
// - The codec (Network.h, PacketParser, FastLz) returns sizes or bool; 0 / false is failure.

#include "common/TimeTypes.h"
#include "common/XyzSample.h"
#include "Network.h"
#include "PacketParser.h"
#include "SendQueue.h"
#include "VariableCache.h"

#include <atomic>
#include <cstdint>
#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QIODevice>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>
#include <set>

// The client of the logger's firmware protocol: the facade QML and the other libraries see. It
// owns the send queue with its retry schedule (SendQueue), the receive parser and dispatcher,
// the connection state machine, keep-alive polling, and the caches of what the device reported
// (identity, statistics, variables in a VariableCache, clock). It does not open ports: the
// owner hands it an open QIODevice. Everything runs on the owning thread except
// nextRequestId(), which any thread may call.
class TarrowindFirmware : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QIODevice *ioDevice READ ioDevice WRITE setIoDevice NOTIFY ioDeviceChanged)
    Q_PROPERTY(ConnectionState connectionState READ connectionState NOTIFY connectionStateChanged)
    Q_PROPERTY(bool keepAliveEnabled READ keepAliveEnabled WRITE setKeepAliveEnabled NOTIFY keepAliveEnabledChanged)
    Q_PROPERTY(bool queueClear READ queueClear NOTIFY queueClearChanged)
    Q_PROPERTY(uint32_t targetBaud READ targetBaud WRITE setTargetBaud NOTIFY targetBaudChanged)

    Q_PROPERTY(Network::ServerType serverType READ serverType NOTIFY getIdInfoChanged)
    Q_PROPERTY(uint16_t majorVersion READ majorVersion NOTIFY getIdInfoChanged)
    Q_PROPERTY(uint16_t minorVersion READ minorVersion NOTIFY getIdInfoChanged)
    Q_PROPERTY(uint32_t patchLevelVersion READ patchLevelVersion NOTIFY getIdInfoChanged)
    Q_PROPERTY(QString uniqueId READ uniqueId NOTIFY getIdInfoChanged)
    Q_PROPERTY(Network::ModelType modelType READ modelType NOTIFY getIdInfoChanged)
    Q_PROPERTY(uint16_t modelRevision READ modelRevision NOTIFY getIdInfoChanged)
    Q_PROPERTY(QString buildType READ buildType NOTIFY getIdInfoChanged)
    Q_PROPERTY(QString deviceName READ deviceName NOTIFY persistents256Changed)
    Q_PROPERTY(bool firmwareOutdated READ firmwareOutdated NOTIFY connectionStateChanged)
    Q_PROPERTY(uint16_t latestMajorVersion READ latestMajorVersion CONSTANT)
    Q_PROPERTY(uint16_t latestMinorVersion READ latestMinorVersion CONSTANT)
    Q_PROPERTY(uint32_t latestPatchLevelVersion READ latestPatchLevelVersion CONSTANT)

    Q_PROPERTY(QVariantMap stats READ stats NOTIFY statsChanged)
    Q_PROPERTY(QDateTime dateTime READ dateTime NOTIFY dateTimeChanged)
    Q_PROPERTY(qlonglong skewMs READ skewMs NOTIFY dateTimeChanged)

    Q_PROPERTY(QVariantList temporaries16 READ temporaries16 WRITE setTemporaries16 NOTIFY temporaries16Changed)
    Q_PROPERTY(QVariantList persistents16 READ persistents16 WRITE setPersistents16 NOTIFY persistents16Changed)
    Q_PROPERTY(QVariantList persistents256 READ persistents256 WRITE setPersistents256 NOTIFY persistents256Changed)
    Q_PROPERTY(QVariantList permanents16 READ permanents16 NOTIFY permanents16Changed)
    Q_PROPERTY(QVariantList permanents256 READ permanents256 NOTIFY permanents256Changed)

public:
    enum ConnectionState {
        ConnectionState_Unconnected = 0,
        ConnectionState_QueryingInfo = 1,
        ConnectionState_Ready = 2,
    };
    Q_ENUM(ConnectionState)

    enum PacketOutcome {
        PacketOutcome_Handled = 0,
        PacketOutcome_Expired = 1,
        PacketOutcome_Cancelled = 2,
        PacketOutcome_Errored = 3,
    };
    Q_ENUM(PacketOutcome)

    static constexpr int kRetryIntervalMs = 50;
    static constexpr int kKeepAliveIntervalMs = 1000;
    static constexpr int kSilenceLimitMs = 4200;
    static constexpr int kResendWaitTicks = SendQueue::kResendWaitTicks;
    static constexpr int kReadChunk = 2048;
    static constexpr int kMaxQueuedPacket = SendQueue::kMaxPacket;

    static constexpr uint16_t kLatestMajorVersion = 0;
    static constexpr uint16_t kLatestMinorVersion = 1;
    static constexpr uint32_t kLatestPatchLevelVersion = 4468;

    // Patch levels that gate protocol features.
    static constexpr uint32_t kBulkReadsPatchLevel = 4040;     // bulk variable reads from here on
    static constexpr uint32_t kLzSectorReadPatchLevel = 4162;  // compressed sector reads from here on
    static constexpr uint32_t kUartConfigPatchLevel = 4300;    // baud change only above this

    explicit TarrowindFirmware(QObject *parent = nullptr);
    ~TarrowindFirmware() override;

    QIODevice *ioDevice() const { return m_ioDevice.data(); }
    ConnectionState connectionState() const { return m_connectionState; }
    bool keepAliveEnabled() const { return m_keepAliveEnabled; }
    bool queueClear() const { return m_queueClear; }
    uint32_t targetBaud() const { return m_targetBaud; }

    Network::ServerType serverType() const;
    uint16_t majorVersion() const;
    uint16_t minorVersion() const;
    uint32_t patchLevelVersion() const;
    QString uniqueId() const;
    Network::ModelType modelType() const;
    uint16_t modelRevision() const;
    QString buildType() const;
    QString deviceName() const;
    bool firmwareOutdated() const;
    uint16_t latestMajorVersion() const { return kLatestMajorVersion; }
    uint16_t latestMinorVersion() const { return kLatestMinorVersion; }
    uint32_t latestPatchLevelVersion() const { return kLatestPatchLevelVersion; }

    QVariantMap stats() const;
    QDateTime dateTime() const { return m_dateTime; }
    qlonglong skewMs() const { return m_skewMs; }

    QVariantList temporaries16() const;
    QVariantList persistents16() const;
    QVariantList persistents256() const;
    QVariantList permanents16() const;
    QVariantList permanents256() const;

    // The last identity and statistics records exactly as received (zeros when none).
    QByteArray deviceIdRecord() const;
    QByteArray statsRecord() const;
    // Number of requests in flight (for tests and diagnostics).
    int queueLength() const { return m_queue.size(); }

    Q_INVOKABLE QString qmlToString(Network::uint256_t value) const;
    Q_INVOKABLE Network::uint256_t qmlToPersistent256(const QString &text) const;

    // A fresh request id (1 .. 65535, never 0). Safe from any thread.
    Q_INVOKABLE uint16_t nextRequestId();

    // Every send operation returns the id of the queued request, or 0 when nothing was sent.
    Q_INVOKABLE uint16_t sendGetDeviceId();
    Q_INVOKABLE uint16_t sendReadTemporary16(Network::TemporaryName16 name);
    Q_INVOKABLE uint16_t sendReadTemporaries16(Network::TemporaryName16 first, uint16_t count);
    Q_INVOKABLE uint16_t sendWriteTemporary16(Network::TemporaryName16 name, uint16_t value);
    Q_INVOKABLE uint16_t sendReadPersistent16(Network::PersistentName16 name);
    Q_INVOKABLE uint16_t sendReadPersistents16(Network::PersistentName16 first, uint16_t count);
    Q_INVOKABLE uint16_t sendReadPersistent256(Network::PersistentName256 name);
    Q_INVOKABLE uint16_t sendWritePersistent16(Network::PersistentName16 name, uint16_t value);
    Q_INVOKABLE uint16_t sendWritePersistent256(Network::PersistentName256 name, Network::uint256_t value);
    Q_INVOKABLE uint16_t sendSavePersistents();
    // Stops waiting for (and resending) a request; it ends as Cancelled.
    void cancelRequest(uint16_t requestId);
    Q_INVOKABLE uint16_t sendClearPersistents();
    Q_INVOKABLE uint16_t sendReadPermanent16(Network::PermanentName16 name);
    Q_INVOKABLE uint16_t sendReadPermanents16(Network::PermanentName16 first, uint16_t count);
    Q_INVOKABLE uint16_t sendReadPermanent256(Network::PermanentName256 name);
    Q_INVOKABLE uint16_t sendPushAlgorithmParameters(QByteArray parametersPacket);
    Q_INVOKABLE uint16_t sendPullAlgorithmParameters(Network::Algorithm algorithm);
    Q_INVOKABLE uint16_t sendSetDateTime();
    Q_INVOKABLE uint16_t sendGetDateTime();
    Q_INVOKABLE uint16_t sendFlashRead528(uint32_t offset528);
    Q_INVOKABLE uint16_t sendFlashRead528(uint16_t requestId, uint32_t offset528);
    Q_INVOKABLE uint16_t sendFlashReadPage(uint16_t requestId, uint32_t pageIndex, uint8_t compression,
                                           uint32_t pageIndexNext);
    Q_INVOKABLE uint16_t sendFlashReadPage(uint16_t requestId, uint32_t pageIndex, uint8_t compression);
    Q_INVOKABLE uint16_t sendFlashCommitNow();
    Q_INVOKABLE uint16_t sendRtcCalibrate();
    Q_INVOKABLE uint16_t sendEnterBootloader();
    Q_INVOKABLE uint16_t sendRestart();
    Q_INVOKABLE uint16_t sendDebugFunc();
    Q_INVOKABLE uint16_t sendLearnAlgorithmParameters();
    Q_INVOKABLE uint16_t sendGetStats();
    Q_INVOKABLE uint16_t sendKeepAlive();
    Q_INVOKABLE uint16_t sendFlashCreate();
    Q_INVOKABLE uint16_t sendGetFileSystemState();
    Q_INVOKABLE uint16_t sendSetNetworkUartBaud(uint32_t baud);

    // True for the polling types (GetStats, GetDateTime, GetDeviceId).
    static bool isPollingType(uint16_t type) { return SendQueue::isPollingType(type); }
    // The retry schedule of a request type: ticks before the first resend, and resends allowed.
    static void retrySchedule(uint16_t type, int *firstWaitTicks, int *resends)
    {
        SendQueue::retrySchedule(type, firstWaitTicks, resends);
    }

signals:
    void targetBaudChanged(uint32_t targetBaud);
    void ioDeviceChanged();
    void sampleAvailable(XyzSampleTimestamped sample);
    void connectionStateChanged(TarrowindFirmware::ConnectionState connectionState);
    void getIdInfoChanged();
    void statsChanged();
    void packetFinished(uint16_t requestId, TarrowindFirmware::PacketOutcome outcome);
    // A variable read, write or save the logger answered with a non-zero error code (before
    // packetFinished of the same request). A value read with an error is not cached.
    void resultErrorCode(uint16_t requestId, uint16_t errorCode);
    void temporaries16Changed();
    void persistents16Changed();
    void persistents256Changed();
    void permanents16Changed();
    void permanents256Changed();
    void dateTimeChanged();
    void keepAliveEnabledChanged(bool keepAliveEnabled);
    void queueClearChanged(bool queueClear);
    void recvPullAlgorithmParametersResult(uint16_t requestId, QByteArray packetIn);
    void recvGetFileSystemStateResult(uint16_t requestId, bool mounted, QByteArray packetIn);
    void recvFlashRead528Result(uint16_t requestId, uint32_t offset528, Network::ReadStatus status, QByteArray data);
    void recvFlashReadPageResult(uint16_t requestId, uint32_t pageIndex, Network::ReadStatus status, QByteArray data);
    void recvFlashCreateProgress(double percent);
    void recvFlashCreateResult(uint16_t requestId, uint16_t createStatus);

public slots:
    void setTargetBaud(uint32_t targetBaud);
    void setIoDevice(QIODevice *device);
    void clearQueue();
    void clearRemoteKnowledge();
    void setKeepAliveEnabled(bool enabled);
    void setTemporaries16(QVariantList values);
    void setPersistents16(QVariantList values);
    void setPersistents256(QVariantList values);

    // Feeds received bytes as if read from the device (the read path uses it too).
    void processIncoming(const QByteArray &bytes);

private slots:
    void handleReadyRead();
    void retryTimerTick();
    void keepAliveTimerTick();
    void setConnectionState(TarrowindFirmware::ConnectionState state);
    void setDateTime(QDateTime deviceTime);
    void checkQueueClear();
    void setQueueClear(bool queueClear);
    void onPacketFinished(uint16_t requestId, TarrowindFirmware::PacketOutcome outcome);

private:
    struct VariableResult;

    template <typename T> uint16_t sendStruct(T &packet, uint16_t type, uint16_t requestId);
    template <typename T> uint16_t sendNew(T &packet, uint16_t type);
    uint16_t sendHeaderOnly(uint16_t type);
    uint16_t sendName(uint16_t type, uint16_t name);
    uint16_t sendRange(uint16_t type, uint16_t first, uint16_t count);
    uint16_t queueAndWrite(const void *packet, int length);
    bool deviceWritable() const;
    void writeBytes(const void *data, int length);
    void dropConnection();

    void setVariables16(VariableCache::Family family, const QVariantList &values, void (TarrowindFirmware::*changed)());
    static const VariableResult *findVariableResult(uint16_t type);

    void dispatch(const Network::PacketBase &packet, int length);
    PacketOutcome handlePacket(const Network::PacketBase &packet, int length);
    void handleVariableResult(const VariableResult &result, const Network::PacketBase &packet, int length);
    void handleReadVariable16(const VariableResult &result, const Network::PacketBase &packet);
    void handleReadVariables16(const VariableResult &result, const Network::PacketBase &packet, int length);
    void handleReadVariable256(const VariableResult &result, const Network::PacketBase &packet);
    void handleErrorResult(uint16_t type, const char *label, const Network::PacketBase &packet);
    void handleFileSystemState(const Network::PacketBase &packet);
    void handleDebugMessage(const Network::PacketBase &packet, int length);
    void handleDeviceId(const Network::PacketBase &packet);
    void handleStats(const Network::PacketBase &packet);
    void handleDataPoints(const Network::PacketBase &packet);
    PacketOutcome handleFlashRead(const Network::PacketBase &packet, int length);
    void queryInfoBatch();

    QPointer<QIODevice> m_ioDevice;
    ConnectionState m_connectionState = ConnectionState_Unconnected;
    std::atomic<uint16_t> m_requestCounter{1};
    PacketParser m_parser{Network::Direction::ServerToClient};
    SendQueue m_queue;
    QTimer m_retryTimer;
    QTimer m_keepAliveTimer;
    QElapsedTimer m_lastReceiveTimer;
    int m_retryTickCount = 0;
    bool m_keepAliveEnabled = true;
    bool m_queueClear = true;
    uint32_t m_targetBaud = 115200;
    std::set<uint16_t> m_pendingQueryIds;
    uint16_t m_dateTimeQueryId = 0;
    bool m_clearingQueue = false;

    uint8_t m_deviceIdRecord[sizeof(Network::S2C_GetDeviceIdResultPacket)] = {};
    uint8_t m_statsRecord[sizeof(Network::S2C_GetStatsResultPacket)] = {};
    VariableCache m_variables;
    QDateTime m_dateTime;
    qlonglong m_skewMs = 0;

    char m_readScratch[kReadChunk];
};

// The outcome of a request, also reachable without the class prefix.
using PacketOutcome = TarrowindFirmware::PacketOutcome;
constexpr PacketOutcome PacketOutcome_Handled = TarrowindFirmware::PacketOutcome_Handled;
constexpr PacketOutcome PacketOutcome_Expired = TarrowindFirmware::PacketOutcome_Expired;
constexpr PacketOutcome PacketOutcome_Cancelled = TarrowindFirmware::PacketOutcome_Cancelled;
constexpr PacketOutcome PacketOutcome_Errored = TarrowindFirmware::PacketOutcome_Errored;
