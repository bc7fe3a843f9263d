#pragma once

#include "DeviceRequestFramer.h"
#include "MagnetModel.h"
#include "VirtualLoggerConfig.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <vector>

class VirtualBootloader;
class VirtualFlashService;

// The virtual logger's device logic: a Tarrowind logger as the host sees it over its serial
// line. It is a passive state machine driven by the caller's clock: feed it the bytes the
// line delivered with receive(), let time pass with advance(), and send what takeOutput()
// returns. Every time is a monotonic nanosecond count from the caller's clock; nothing here
// reads a clock except the device's calendar clock at start-up (the host's wall time plus
// the configured offset).
//
// Firmware mode: the packet protocol. While no client has sent a valid request for
// kClientSilenceMs the device announces itself (S2C_GetDeviceIdResult, request id 0) every
// announceIntervalMs. Every request type is answered; flash requests go to the flash
// service, and C2S_EnterBootloader is acknowledged and then the device resets into its
// bootloader. Bootloader mode: every byte goes to the VirtualBootloader until it executes
// Go, which restarts the firmware.
//
// Features follow the configured patch level: bulk variable reads from 4040, compressed
// sector reads from 4162 and page reads above 4251 (both in the flash service), the UART
// baud change above 4300. A request this firmware does not know goes unanswered.
//
// Not thread-safe: one thread drives it (VirtualLoggerRunner does, under its lock).
class VirtualLogger
{
public:
    enum class Mode { Firmware, Bootloader };

    static constexpr int kClientSilenceMs = 1500;   // no request for this long: announce again
    static constexpr int kBootMs = 50;              // reset to first output
    static constexpr int kRtcCalibrationMs = 1000;  // deaf while calibrating
    static constexpr int kLearningMs = 3000;

    // Error codes in variable results.
    static constexpr uint16_t kErrorNone = 0;
    static constexpr uint16_t kErrorUnknownName = 1;
    static constexpr uint16_t kErrorBadValue = 2;
    // A save the settings store could not take (with VirtualLoggerConfig::refuseSave).
    static constexpr uint16_t kErrorSaveRefused = 7;

    // Device capacities (names beyond these are unknown to the firmware).
    static constexpr int kTemporaryCapacity = 8;
    static constexpr int kPersistent16Capacity = 128;
    static constexpr int kPersistent256Capacity = 8;
    static constexpr int kPermanent16Capacity = 8;
    static constexpr int kPermanent256Capacity = 4;

    VirtualLogger(const VirtualLoggerConfig &config, int64_t nowNs);
    ~VirtualLogger();
    VirtualLogger(const VirtualLogger &) = delete;
    VirtualLogger &operator=(const VirtualLogger &) = delete;

    // Bytes the line delivered at nowNs (advance() runs first).
    void receive(const QByteArray &bytes, int64_t nowNs);
    // Lets time pass up to nowNs: announcements, samples, debug messages, delayed replies,
    // pending resets.
    void advance(int64_t nowNs);
    // Everything the device has sent since the last call, in order.
    QByteArray takeOutput();
    // The next time advance() has something to do (-1: nothing scheduled).
    int64_t nextEventNs() const;

    Mode mode() const { return m_mode; }
    // Power cycle / reset button: firmware restarts (in firmware mode), uptime from 0,
    // temporaries to their defaults, unsaved persistents lost.
    void restart(int64_t nowNs);
    // Resets into the bootloader at once, as C2S_EnterBootloader does.
    void enterBootloader(int64_t nowNs);

    const VirtualLoggerConfig &config() const { return m_config; }
    uint32_t patchLevel() const { return m_config.patchLevel; }
    QString uniqueId() const { return m_uniqueId; }
    QString serialNumber() const { return m_serialNumber; }
    // The identity packet the device announces (request id 0).
    QByteArray identityPacket(uint16_t requestId = 0) const;

    // The device's variables as it holds them now.
    uint16_t temporary(int name) const;
    uint16_t persistent16(int name) const;
    QByteArray persistent256(int name) const;  // 32 bytes
    uint16_t permanent16(int name) const;
    QByteArray permanent256(int name) const;  // 32 bytes
    // The device's calendar clock (ns since 1970) at nowNs.
    int64_t deviceTimeNs(int64_t nowNs) const;
    int64_t uptimeNs(int64_t nowNs) const { return nowNs - m_bootNs; }
    uint32_t uartBaud() const { return m_uartBaud; }
    bool sampleStreamOn() const;
    // The stored 130-byte algorithm parameter block.
    QByteArray algorithmParameters() const { return m_algorithmBlock; }

    MagnetModel &magnet() { return m_magnet; }
    const MagnetModel &magnet() const { return m_magnet; }
    VirtualBootloader &bootloader() { return *m_bootloader; }
    const VirtualBootloader &bootloader() const { return *m_bootloader; }
    VirtualFlashService &flashService() { return *m_flash; }
    const VirtualFlashService &flashService() const { return *m_flash; }

    // What the device was asked since construction (not reset by restarts): valid requests
    // per packet type, and how often each flash sector (offset528) and page was requested.
    uint64_t requestCount(uint16_t packetType) const;
    const std::map<uint16_t, uint64_t> &requestCounts() const { return m_requestCounts; }
    const std::map<uint32_t, uint32_t> &sectorReadCounts() const { return m_sectorReads; }
    const std::map<uint32_t, uint32_t> &pageReadCounts() const { return m_pageReads; }
    uint64_t badBytesReceived() const { return m_totalBadBytes; }
    uint64_t dataPointPacketsSent() const { return m_dataPointPackets; }
    int restarts() const { return m_restarts; }

    // Writes what the device holds into `dir` (created if missing): the flash service's
    // files (sessions, flash-pages.bin, sessions.json, uses.json, state-export.bin), the
    // bootloader's flash as mcu-flash.bin, and device.json (identity, variables, clock,
    // counters, the meter's litres per pulse).
    // Each file is written beside its target and renamed into place when complete.
    bool writeGroundTruth(const QString &dir, int64_t nowNs, QString *error) const;

private:
    enum class Pending { None, Restart, EnterBootloader, CalibrationDone };

    void boot(int64_t nowNs, Mode mode);
    void handleRequest(const QByteArray &packet);
    bool firmwareKnows(uint16_t type) const;
    void handleFirmwareRequest(uint16_t type, uint16_t requestId, const QByteArray &packet);

    // One function per request; the variable requests share five, told apart by a table.
    struct Request;
    struct VariableRequest;
    enum class VariableStore { Temporary16, Persistent16, Permanent16, Persistent256, Permanent256 };
    void handleFlashRequest(const Request &r);
    void handleVariableRequest(const VariableRequest &v, const Request &r);
    uint16_t *values16(VariableStore store, int *capacity);
    QByteArray *values256(VariableStore store, int *capacity);
    void readVariable16(const VariableRequest &v, const Request &r);
    void readVariables16(const VariableRequest &v, const Request &r);
    void writeVariable16(const VariableRequest &v, const Request &r);
    void readVariable256(const VariableRequest &v, const Request &r);
    void writeVariable256(const VariableRequest &v, const Request &r);
    void sampleStreamSwitched(bool wasStreaming);
    void onGetDeviceId(const Request &r);
    void onSavePersistents(const Request &r);
    void onClearPersistents(const Request &r);
    void onSavePermanents(const Request &r);
    void onEnterBootloader(const Request &r);
    void onRestart(const Request &r);
    void onDebugFunc(const Request &r);
    void onLearnAlgorithmParameters(const Request &r);
    void onKeepAlive(const Request &r);
    void onGetStats(const Request &r);
    void onPushAlgorithmParameters(const Request &r);
    void onPullAlgorithmParameters(const Request &r);
    void onSetDateTime(const Request &r);
    void onGetDateTime(const Request &r);
    void onRtcCalibrate(const Request &r);
    void onNetworkUartConfig(const Request &r);
    void send(const QByteArray &packet, int64_t atNs);
    void reply(uint16_t type, uint16_t requestId, const QByteArray &payload = QByteArray());
    void debugMessage(const QString &text, int64_t atNs);
    void produceSamples(int64_t untilNs);
    // The parts of advance().
    void runPending(int64_t nowNs);
    void finishLearning(int64_t nowNs);
    void sendDebugChatter(int64_t nowNs);
    void flushSamples();
    QByteArray statsPacket(uint16_t requestId) const;
    void resetTemporaries();
    double sampleRate() const;

    VirtualLoggerConfig m_config;
    QString m_uniqueId;
    QString m_serialNumber;
    Mode m_mode = Mode::Firmware;
    std::unique_ptr<VirtualBootloader> m_bootloader;
    std::unique_ptr<VirtualFlashService> m_flash;
    DeviceRequestFramer m_framer;
    MagnetModel m_magnet;
    std::mt19937 m_rng;

    int64_t m_now = 0;      // time of the call being processed
    int64_t m_startNs = 0;  // construction: the magnet's time origin
    int64_t m_bootNs = 0;
    int64_t m_deafUntilNs = 0;  // booting or calibrating: input is lost
    int64_t m_lastRequestNs = INT64_MIN / 2;
    int64_t m_nextAnnounceNs = 0;
    int64_t m_nextDebugNs = 0;
    int64_t m_learningDoneNs = 0;
    Pending m_pending = Pending::None;
    int64_t m_pendingAtNs = 0;

    // Calendar clock: time at a reference point of the monotonic clock.
    int64_t m_clockEpochNs = 0;
    int64_t m_clockRefNs = 0;
    int64_t m_lastClockSyncNs = 0;

    std::array<uint16_t, kTemporaryCapacity> m_temporaries{};
    std::array<uint16_t, kPersistent16Capacity> m_persistent16{};
    std::array<uint16_t, kPersistent16Capacity> m_savedPersistent16{};
    std::array<QByteArray, kPersistent256Capacity> m_persistent256;
    std::array<QByteArray, kPersistent256Capacity> m_savedPersistent256;
    std::array<uint16_t, kPermanent16Capacity> m_permanent16{};
    std::array<QByteArray, kPermanent256Capacity> m_permanent256;
    QByteArray m_algorithmBlock;
    uint32_t m_uartBaud = 115200;

    // Counters since boot (statistics record).
    uint32_t m_uartRxBytes = 0;
    uint32_t m_uartRxBadBytes = 0;
    uint64_t m_framerBadAtBoot = 0;
    uint32_t m_packetsUnderstood = 0;
    double m_revolutionsAtBoot = 0.0;

    // Sample stream.
    int64_t m_nextSampleNs = 0;
    struct StreamSample {
        int64_t deviceTimeNs;
        XyzSample sample;
    };
    std::vector<StreamSample> m_pendingSamples;

    // Output: due bytes, and packets scheduled for later (stable for equal times).
    QByteArray m_output;
    std::multimap<int64_t, QByteArray> m_scheduled;

    // Test-facing counters (kept across restarts).
    std::map<uint16_t, uint64_t> m_requestCounts;
    // A host resends an unanswered request with its id unchanged: counted once here, so a
    // test can tell what the host asked for from how often the line made it ask.
    std::map<uint16_t, uint64_t> m_distinctRequestCounts;
    std::map<uint16_t, uint16_t> m_lastRequestIds;
    std::map<uint32_t, uint32_t> m_sectorReads;
    std::map<uint32_t, uint32_t> m_pageReads;
    uint64_t m_totalBadBytes = 0;
    uint64_t m_dataPointPackets = 0;
    int m_restarts = 0;
};
