#pragma once

// The logger's packet protocol: type codes, variable names, the packed wire structures and the
// helpers that frame and seal packets. All multi-byte fields are little-endian on the wire; the
// structures are used in place, so this code assumes a little-endian host.

#include "common/XyzSample.h"

#include <cstdint>
#include <cstring>
#include <QByteArray>
#include <QMetaEnum>
#include <QMetaType>
#include <QObject>
#include <QString>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "The packet structures are laid out for a little-endian host"
#endif

namespace Network {
Q_NAMESPACE

// Two ASCII letters: the low byte (first on the wire) is 'X' for client-to-server packets and
// 'S' for server-to-client packets, the high byte names the operation.
enum PacketType : uint16_t {
    C2S_GetDeviceId = 0x4958,
    C2S_ReadTemporary16 = 0x4558,
    C2S_ReadTemporaries16 = 0x6358,
    C2S_WriteTemporary16 = 0x5458,
    C2S_ReadPersistent16 = 0x5258,
    C2S_ReadPersistents16 = 0x6158,
    C2S_WritePersistent16 = 0x5758,
    C2S_ReadPersistent256 = 0x4D58,
    C2S_WritePersistent256 = 0x4E58,
    C2S_SavePersistents = 0x5358,
    C2S_ClearPersistents = 0x3058,
    C2S_ReadPermanent16 = 0x7258,
    C2S_ReadPermanents16 = 0x6258,
    C2S_WritePermanent16 = 0x7758,
    C2S_ReadPermanent256 = 0x6D58,
    C2S_WritePermanent256 = 0x6E58,
    C2S_SavePermanents = 0x7358,
    C2S_EnterBootloader = 0x2158,
    C2S_Restart = 0x4058,
    C2S_DebugFunc = 0x4258,
    C2S_LearnAlgorithmParameters = 0x4C58,
    C2S_KeepAlive = 0x4B58,
    C2S_GetStats = 0x4158,
    C2S_PushAlgorithmParameters = 0x5058,
    C2S_PullAlgorithmParameters = 0x5158,
    C2S_SetDateTime = 0x4758,
    C2S_GetDateTime = 0x4658,
    C2S_FlashCreate = 0x4358,
    C2S_FlashRead528 = 0x5A58,
    C2S_FlashReadLz528 = 0x7A58,
    C2S_FlashReadPage = 0x6758,
    C2S_FlashCommitNow = 0x5958,
    C2S_FlashGetState = 0x4858,
    C2S_RtcCalibrate = 0x5658,
    C2S_NetworkUartConfig = 0x7558,

    S2C_GetDeviceIdResult = 0x4953,
    S2C_ReadTemporary16Result = 0x4553,
    S2C_ReadTemporaries16Result = 0x6553,
    S2C_WriteTemporary16Result = 0x5453,
    S2C_ReadPersistent16Result = 0x5253,
    S2C_ReadPersistents16Result = 0x6153,
    S2C_WritePersistent16Result = 0x5753,
    S2C_ReadPersistent256Result = 0x4D53,
    S2C_WritePersistent256Result = 0x4E53,
    S2C_SavePersistentsResult = 0x5353,
    S2C_ClearPersistentsResult = 0x3053,
    S2C_ReadPermanent16Result = 0x7253,
    S2C_ReadPermanents16Result = 0x6253,
    S2C_WritePermanent16Result = 0x7753,
    S2C_ReadPermanent256Result = 0x6D53,
    S2C_WritePermanent256Result = 0x6E53,
    S2C_SavePermanentsResult = 0x7353,
    S2C_EnterBootloaderAck = 0x2153,
    S2C_RestartAck = 0x4053,
    S2C_DebugFuncAck = 0x4253,
    S2C_LearnAlgorithmParametersAck = 0x4C53,
    S2C_KeepAliveAck = 0x4B53,
    S2C_GetStatsResult = 0x4153,
    S2C_PushAlgorithmParametersResult = 0x5053,
    S2C_PullAlgorithmParametersResult = 0x5153,
    S2C_SetDateTimeAck = 0x4753,
    S2C_GetDateTimeResult = 0x4653,
    S2C_FlashCreateAck = 0x4353,
    S2C_FlashCreateProgress = 0x4A53,
    S2C_FlashCreateResult = 0x4F53,
    S2C_FlashCommitNowAck = 0x5953,
    S2C_FlashGetStateResult = 0x4853,
    S2C_FlashRead528Result = 0x5A53,
    S2C_FlashReadLz528Result = 0x7A53,
    S2C_FlashReadPageResult = 0x6753,
    S2C_RtcCalibrateAck = 0x5653,
    S2C_NetworkUartConfigChange = 0x7553,
    S2C_DataPoints = 0x5553,
    S2C_DebugMessage = 0x0A53,
    S2C_DataPointOld = 0x4453,
};
Q_ENUM_NS(PacketType)

enum class Direction : uint16_t { ServerToClient = 0, ClientToServer = 1 };
Q_ENUM_NS(Direction)

// Variable names are scoped: several of them repeat the names of other enums.
enum class TemporaryName16 : uint16_t {
    RawXyzOutput_Enable = 0,
    LedMode_Green = 1,
    LedMode_Orange = 2,
    DebugKillBits = 3,
    FlashLogging_RemoteLock = 4,
    RawXyzOutput_ForceHz = 5,
    TemporaryName16Count = 6,
};
Q_ENUM_NS(TemporaryName16)

enum class PersistentName16 : uint16_t {
    Algorithm = 0,
    PulseOutput_Enable = 1,
    PulseOutput_PulseMicros10 = 2,
    PulseOutput_MinimumGapMicros10 = 3,
    PulseOutput_BufferCount = 4,
    FlashLogging_Enable = 5,
    FlashLogging_CommitMinutes = 6,
    Network_Keepalive_Seconds = 7,
    Deprecated_FftDecider_PrecombineMethod = 8,
    PulseOutput_Divider = 9,
    Deprecated_AutoCalibration_Enabled = 10,
    Deprecated_AutoCalibration_MinPeriod_Minutes = 11,
    Deprecated_RtcCalibrated = 12,
    Deprecated_RtcCalM = 13,
    Deprecated_RtcCalP = 14,
    FlashLogging_LogDebugSamples = 15,
    PersistentName16Count = 16,
    MaxPersistentName16Count = 128,
};
Q_ENUM_NS(PersistentName16)

enum class PersistentName256 : uint16_t {
    DeviceName_UserString = 0,
    DeviceName_JobNameString = 1,
    PersistentName256Count = 2,
    MaxPersistentName256Count = 8,
};
Q_ENUM_NS(PersistentName256)

enum class PermanentName16 : uint16_t {
    Deprecated_ServerType = 0,
    RtcCalibrated = 1,
    RtcCalM = 2,
    RtcCalP = 3,
    ModelType = 4,
    ModelRevision = 5,
    PermanentName16Count = 6,
    MaxPermanentName16Count = 8,
};
Q_ENUM_NS(PermanentName16)

enum class PermanentName256 : uint16_t {
    SerialNumber = 0,
    PermanentName256Count = 1,
    MaxPermanentName256Count = 4,
};
Q_ENUM_NS(PermanentName256)

enum class Algorithm : uint16_t { Elliptical = 0, Deprecated_Fft = 1 };
Q_ENUM_NS(Algorithm)

enum class LedMode : uint16_t {
    Off = 0,
    Sleep = 1,
    Pulse = 2,
    Phase = 3,
    Learning = 4,
    FilesystemIO = 5,
    Status = 6,
    SignalStrength = 7,
};
Q_ENUM_NS(LedMode)

enum class ReadStatus : uint16_t {
    Ok = 0,
    Busy = 1,
    HwFailure = 2,
    ReadFailure = 3,
    BadRequest = 4,
    NotMounted = 5,
    EccCorrected = 6,
    EccCorrectedMany = 7,
};
Q_ENUM_NS(ReadStatus)

enum ErrorFlags : uint32_t {
    ErrorFlag_RtcFault = 1,
    ErrorFlag_FlashFault = 2,
    ErrorFlag_MagnetometerFault = 4,
    ErrorFlag_RtcNotCalibrated = 65536,
};
Q_ENUM_NS(ErrorFlags)

enum ServerType : uint16_t {
    ServerType_Unset = 0,
    ServerType_DeprecatedTarrowindR0 = 1,
    ServerType_DeprecatedTarrowindR1 = 2,
    ServerType_DeprecatedTarrowindR2 = 3,
    ServerType_DeprecatedTarrowindR3 = 4,
    ServerType_Kestrelcove = 5,
};
Q_ENUM_NS(ServerType)

enum ModelType : uint16_t { ModelType_Unset = 0, ModelType_Tarrowind3X = 1 };
Q_ENUM_NS(ModelType)

constexpr int kTemporary16Count = int(TemporaryName16::TemporaryName16Count);
constexpr int kPersistent16Count = int(PersistentName16::PersistentName16Count);
constexpr int kPersistent256Count = int(PersistentName256::PersistentName256Count);
constexpr int kPermanent16Count = int(PermanentName16::PermanentName16Count);
constexpr int kPermanent256Count = int(PermanentName256::PermanentName256Count);

// Receive buffer size; no packet is longer.
constexpr int kMaxPacketSize = 2129;
constexpr int kSectorSize = 528;
constexpr int kPageSize = 2112;
constexpr int kAlgorithmParametersPacketSize = 138;
constexpr int kAlgorithmParametersSize = 130;
constexpr int kFilesystemStateSize = 528;
constexpr uint32_t kNoNextPage = 0xFFFFFFFFu;

// 32 opaque bytes: the device's text variables and serial number.
struct uint256_t {
    uint8_t bytes[32] = {};

    bool operator==(const uint256_t &o) const { return std::memcmp(bytes, o.bytes, 32) == 0; }
    bool operator!=(const uint256_t &o) const { return !(*this == o); }
};
static_assert(sizeof(uint256_t) == 32, "uint256_t is 32 bytes on the wire");

#pragma pack(push, 1)

struct PacketBase {
    uint16_t type;
    uint32_t checksum;
    uint16_t requestId;
};

// ---- client to server ----

// ReadTemporary16, ReadPersistent16, ReadPermanent16, ReadPersistent256, ReadPermanent256 and
// PullAlgorithmParameters (name = algorithm).
struct C2S_ReadVariablePacket {
    PacketBase base;
    uint16_t name;
};

// ReadTemporaries16, ReadPersistents16, ReadPermanents16.
struct C2S_ReadVariables16Packet {
    PacketBase base;
    uint16_t first;
    uint16_t count;
};

// WriteTemporary16, WritePersistent16, WritePermanent16.
struct C2S_WriteVariable16Packet {
    PacketBase base;
    uint16_t name;
    uint16_t value;
};

// WritePersistent256, WritePermanent256.
struct C2S_WriteVariable256Packet {
    PacketBase base;
    uint16_t name;
    uint256_t value;
};

struct C2S_SavePermanentsPacket {
    PacketBase base;
    uint8_t reserved[4];
};

struct C2S_PushAlgorithmParametersPacket {
    PacketBase base;
    uint8_t parameters[kAlgorithmParametersSize];
};

struct C2S_SetDateTimePacket {
    PacketBase base;
    int64_t time;  // TimeTypes::Epoch1970::NanosI64
};

// FlashRead528 and FlashReadLz528.
struct C2S_FlashRead528Packet {
    PacketBase base;
    uint32_t offset528;
};

struct C2S_FlashReadPagePacket {
    PacketBase base;
    uint32_t pageIndex;
    uint32_t pageIndexNext;
    uint8_t compression;
};

struct C2S_NetworkUartConfigPacket {
    PacketBase base;
    uint32_t baud;
    uint16_t reserved0;
    uint8_t reserved1;
};

// ---- server to client ----

struct S2C_GetDeviceIdResultPacket {
    PacketBase base;
    uint16_t serverType;
    uint16_t majorVersion;
    uint16_t minorVersion;
    uint32_t patchLevelVersion;
    char uniqueId[32];  // Latin-1, NUL padded, no terminator when full
    uint16_t modelType;
    uint16_t modelRevision;
    char buildType[12];  // UTF-8, NUL padded
    uint8_t reserved[6];
};

// ReadTemporary16Result, ReadPersistent16Result, ReadPermanent16Result.
struct S2C_ReadVariable16ResultPacket {
    PacketBase base;
    uint16_t name;
    uint16_t error;
    uint16_t value;
};

// ReadTemporaries16Result, ReadPersistents16Result, ReadPermanents16Result; dataSize bytes of
// u16 values follow.
struct S2C_ReadVariables16ResultPacket {
    PacketBase base;
    uint16_t dataSize;
    uint16_t first;
};

// Every write result (16 and 256 bits).
struct S2C_WriteVariableResultPacket {
    PacketBase base;
    uint16_t name;
    uint16_t error;
};

// ReadPersistent256Result, ReadPermanent256Result.
struct S2C_ReadVariable256ResultPacket {
    PacketBase base;
    uint16_t name;
    uint16_t error;
    uint256_t value;
};

// SavePersistentsResult, ClearPersistentsResult, SavePermanentsResult,
// PushAlgorithmParametersResult.
struct S2C_ErrorResultPacket {
    PacketBase base;
    uint16_t error;
};

struct S2C_GetStatsResultPacket {
    PacketBase base;
    uint32_t errorFlags;
    uint32_t genericErrorCount;
    uint32_t i2cIrqCount;
    uint32_t i2cReinitCount;
    uint32_t magIrqCount;
    uint32_t rtcIrqCount;
    uint32_t timerWakeCount;
    uint32_t pulseCount;
    uint32_t sleepCount;
    uint32_t uartRxReinitCount;
    uint32_t uartRxBytes;
    uint32_t uartRxBadBytes;
    uint32_t magSamplesProcessed;
    uint32_t accelSamplesProcessed;
    uint64_t uptimeNanos;
    uint64_t lastClockSyncNanos;
    uint32_t packetsUnderstood;
    uint32_t largestMagBacklog;
    uint32_t currentMagBacklog;
    uint16_t flashStatus;
    uint16_t flashPercentUsed;
    uint32_t flashSessionIndex;
    uint32_t flashBadPageCount;
    uint16_t cpuFrequency;
    uint16_t vbatMilliVolts;
    uint16_t vrefIntMilliVolts;
    uint16_t vinputMilliVolts;
    uint32_t temperatureCelsiusMilliDegrees;
};

struct S2C_PullAlgorithmParametersResultPacket {
    PacketBase base;
    uint8_t parameters[kAlgorithmParametersSize];
};

struct S2C_GetDateTimeResultPacket {
    PacketBase base;
    int64_t time;  // TimeTypes::Epoch1970::NanosI64
};

// No request id: the progress takes its place.
struct S2C_FlashCreateProgressPacket {
    uint16_t type;
    uint32_t checksum;
    uint16_t progress;  // 0 .. 65535 = 0 .. 1
};

struct S2C_FlashCreateResultPacket {
    PacketBase base;
    uint16_t createStatus;
};

struct S2C_FlashGetStateResultPacket {
    PacketBase base;
    uint8_t state[kFilesystemStateSize];  // first u32: mount status, 1 = mounted
};

struct S2C_FlashRead528ResultPacket {
    PacketBase base;
    uint32_t offset528;
    uint16_t status;  // ReadStatus
    uint8_t data[kSectorSize];
};

// dataSize bytes follow.
struct S2C_FlashReadLz528ResultPacket {
    PacketBase base;
    uint16_t dataSize;
    uint32_t offset528;
    uint16_t status;
    uint8_t compressSuccess;
};

// dataSize bytes follow.
struct S2C_FlashReadPageResultPacket {
    PacketBase base;
    uint16_t dataSize;
    uint32_t pageIndex;
    uint16_t status;
    uint8_t compression;
};

struct S2C_NetworkUartConfigChangePacket {
    PacketBase base;
    uint32_t baudRate;
    uint8_t reserved[4];
};

// Up to five samples sharing t0; sample 0 is always present, samples 1..4 while their descriptor
// has bit 0 set (bits 1-31: nanoseconds after t0).
struct S2C_DataPointsPacket {
    uint16_t type;
    uint32_t checksum;
    int64_t t0;
    XyzSample samples[5];
    uint32_t descriptors[4];
};

// No request id; length bytes of UTF-8 text follow.
struct S2C_DebugMessagePacket {
    uint16_t type;
    uint32_t checksum;
    uint16_t length;
};

#pragma pack(pop)

static_assert(sizeof(PacketBase) == 8, "");
static_assert(sizeof(C2S_ReadVariablePacket) == 10, "");
static_assert(sizeof(C2S_ReadVariables16Packet) == 12, "");
static_assert(sizeof(C2S_WriteVariable16Packet) == 12, "");
static_assert(sizeof(C2S_WriteVariable256Packet) == 42, "");
static_assert(sizeof(C2S_SavePermanentsPacket) == 12, "");
static_assert(sizeof(C2S_PushAlgorithmParametersPacket) == 138, "");
static_assert(sizeof(C2S_SetDateTimePacket) == 16, "");
static_assert(sizeof(C2S_FlashRead528Packet) == 12, "");
static_assert(sizeof(C2S_FlashReadPagePacket) == 17, "");
static_assert(sizeof(C2S_NetworkUartConfigPacket) == 15, "");
static_assert(sizeof(S2C_GetDeviceIdResultPacket) == 72, "");
static_assert(sizeof(S2C_ReadVariable16ResultPacket) == 14, "");
static_assert(sizeof(S2C_ReadVariables16ResultPacket) == 12, "");
static_assert(sizeof(S2C_WriteVariableResultPacket) == 12, "");
static_assert(sizeof(S2C_ReadVariable256ResultPacket) == 44, "");
static_assert(sizeof(S2C_ErrorResultPacket) == 10, "");
static_assert(sizeof(S2C_GetStatsResultPacket) == 116, "");
static_assert(sizeof(S2C_PullAlgorithmParametersResultPacket) == 138, "");
static_assert(sizeof(S2C_GetDateTimeResultPacket) == 16, "");
static_assert(sizeof(S2C_FlashCreateProgressPacket) == 8, "");
static_assert(sizeof(S2C_FlashCreateResultPacket) == 10, "");
static_assert(sizeof(S2C_FlashGetStateResultPacket) == 536, "");
static_assert(sizeof(S2C_FlashRead528ResultPacket) == 542, "");
static_assert(sizeof(S2C_FlashReadLz528ResultPacket) == 17, "");
static_assert(sizeof(S2C_FlashReadPageResultPacket) == 17, "");
static_assert(sizeof(S2C_NetworkUartConfigChangePacket) == 16, "");
static_assert(sizeof(S2C_DataPointsPacket) == 60, "");
static_assert(sizeof(S2C_DebugMessagePacket) == 8, "");

// ---- framing ----

// How a packet type is framed on the wire. For the five variable types `length` is the base
// length and `lengthFieldOffset` the offset of the u16 that adds to it; otherwise the offset is 0.
struct PacketLayout {
    int length = 0;
    int lengthFieldOffset = 0;
    bool hasRequestId = true;
};

// The layout of an accepted type travelling in the given direction; false for a type that is not
// accepted in that direction (S2C_DataPointOld is never accepted).
bool packetLayout(Direction direction, uint16_t type, PacketLayout *layout);

// The first byte of every packet travelling in that direction ('S' or 'X').
constexpr uint8_t packetStartByte(Direction direction)
{
    return direction == Direction::ServerToClient ? 0x53 : 0x58;
}

// True for the types that carry no request id (their bytes from offset 6 are payload).
bool packetHasRequestId(uint16_t type);

// "Network::" + the PacketType enumerator, or "Network::PacketType(<number>)" for unknown codes.
QString packetTypeName(uint16_t type);

// "Network::" + the enumerator of a Network enum (the form the protocol log texts use).
template <typename E> QString enumName(E value)
{
    const QMetaEnum me = QMetaEnum::fromType<E>();
    const char *key = me.valueToKey(int(value));
    if (key)
        return QStringLiteral("Network::") + QLatin1String(key);
    return QStringLiteral("Network::%1(%2)").arg(QLatin1String(me.name())).arg(int(value));
}

// The checksum of a complete packet: packetCrc32 over bytes 0-1, continued over 6 .. end.
uint32_t computePacketChecksum(const void *packet, int length);
// Computes the checksum and stores it at offset 2.
void sealPacket(void *packet, int length);
// True when the stored checksum matches.
bool packetChecksumValid(const void *packet, int length);

// A complete sealed packet: header with type and request id, then the payload.
QByteArray encodePacket(uint16_t type, uint16_t requestId, const void *payload, int payloadLength);
QByteArray encodePacket(uint16_t type, uint16_t requestId, const QByteArray &payload = QByteArray());
// A complete sealed packet of a type without request id: `body` starts at offset 6.
QByteArray encodePacketWithoutId(uint16_t type, const QByteArray &body);

// Lower-case hex in groups of 4 bytes, each followed by a blank, with "\n  " before every
// 16 bytes: the dump that follows every bad-data log line.
QString hexDump(const void *data, int length);

}  // namespace Network

Q_DECLARE_METATYPE(Network::uint256_t)
Q_DECLARE_METATYPE(const Network::PacketBase *)
