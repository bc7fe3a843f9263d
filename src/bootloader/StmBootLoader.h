#pragma once

// How the bootloader library reports failure (nothing here throws): a status enum plus text.
// - StmBootLoader: an operation ends with one operationFinished(Error); anything but Error_None
//   failed, and operationErrorString() says how. A lost link shows as state() falling back to
//   State_NoDevice or State_Connecting.
// - FirmwareMeta: load() and loadData() leave a LoadStatus (LoadStatus_IOError,
//   LoadStatus_BadMetaHeader, LoadStatus_ChecksumFailure); save() returns false.
// - TarrowindLogger: the mode it reached, in operatingMode(); a switch that does not happen is
//   retried on its timer and logged, not reported.

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <cstdint>

#include <QIODevice>
class AbstractSerialPort;

// Client of the STM32 system-memory bootloader (USART protocol of AN3155). Given the open
// serial device it synchronises, keeps the link alive while idle, runs one
// erase-program-verify or verify-only operation on an image and starts the firmware with Go.
// Everything is driven by readyRead and two timers in the owner thread.
class StmBootLoader : public QObject
{
    Q_OBJECT
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QIODevice *ioDevice READ ioDevice WRITE setIoDevice NOTIFY ioDeviceChanged)
    Q_PROPERTY(
        float operationProgress READ operationProgress WRITE setOperationProgress NOTIFY operationProgressChanged)
    Q_PROPERTY(Error operationError READ operationError NOTIFY operationErrorChanged)
    Q_PROPERTY(QString operationErrorString READ operationErrorString NOTIFY operationErrorChanged)

public:
    enum State { State_NoDevice = 0, State_Connecting = 1, State_Ready = 2, State_Busy = 3 };
    Q_ENUM(State)
    enum Error { Error_None = 0, Error_Protocol = 1, Error_Checksum = 2 };
    Q_ENUM(Error)
    enum Operation { VerifyOnly = 0, EraseProgramVerify = 1 };
    Q_ENUM(Operation)

    static constexpr quint32 kStartAddress = 0x08000000u;
    static constexpr quint32 kEndAddressLimit = 0x0803F000u;
    // The largest image an operation accepts: everything from the start address to the limit.
    static constexpr int kMaxImageSize = int(kEndAddressLimit - kStartAddress);
    // Blocks that may fail their read-back during one flash before it fails as a whole: each
    // failure reprograms from the erase, so a flaky line gets a few rounds, a bad chip not many.
    static constexpr uint32_t kVerifyFailureLimit = 4;
    static constexpr int kPageSize = 2048;
    static constexpr int kBlockSize = 256;
    static constexpr int kStepTimeoutMs = 350;
    static constexpr int kFirstByteDelayMs = 150;
    // A step's time counts from when its bytes have left the host. Bytes that the port has not
    // sent after this long are a line that is stuck, not a busy host: the step then times out.
    static constexpr int kUnsentGraceMs = 5000;
    // A command waiting for its answer is repeated only after this many silent step times: on
    // a busy host an answer is far more often late than lost, and a command repeated while its
    // answer is on its way desynchronises the exchange.
    static constexpr int kSilentStepsBeforeRepeat = 4;
    // After those, the line must stay quiet this much longer before the command is repeated:
    // an answer arriving meanwhile is still taken as the answer it is (late, not lost), so
    // nothing is ever repeated while a starved host merely has not read its answer yet.
    static constexpr int kQuietBeforeRepeatMs = 2000;
    // Filler sent to end whatever collection the device may be in before a repeat: a byte
    // value (02) and a length that end every phase of our own commands with a NACK, never with
    // a write or an erase (even 02 bytes never make a valid Write Memory checksum, page 0x0202
    // does not exist).
    static constexpr int kResyncFillBytes = 1040;
    static constexpr int kMaxTransmissionFailures = 9;

    // The protocol steps. Their numbers are part of the interface (step(), the state mapping,
    // diagnostics), so they stay fixed; names only say what each step waits for.
    enum Step {
        Step_NoDevice = 0,          // no device
        Step_FirstByteDelay = 1,    // the first 150 ms after attach; bytes are ignored
        Step_SyncReply = 2,         // reply to 7F
        Step_GetAck = 3,            // Get: ACK
        Step_GetLength = 4,         // Get: byte count
        Step_GetData = 5,           // Get: version and command codes
        Step_GetFinalAck = 6,       // Get: closing ACK
        Step_Idle = 7,              // ready; a command or the idle timeout
        Step_IdleProbe = 8,         // NACK to the idle probe 7F 7F
        Step_GoAck = 9,             // ACK of Go
        Step_Released = 10,         // device released after Go
        Step_EraseCommandAck = 11,  // Extended Erase: command ACK
        Step_ErasePageAck = 12,     // Extended Erase: page ACK
        Step_WriteCommandAck = 13,  // Write Memory: command ACK
        Step_WriteAddressAck = 14,  // Write Memory: address ACK
        Step_WriteDataAck = 15,     // Write Memory: data ACK
        Step_ReadCommandAck = 16,   // Read Memory: command ACK
        Step_ReadAddressAck = 17,   // Read Memory: address ACK
        Step_ReadData = 18,         // Read Memory: length ACK and the 256 bytes
        Step_Resync = 19,           // after a lost answer: back to a known device state
    };

    explicit StmBootLoader(QObject *parent = nullptr);
    ~StmBootLoader() override;

    State state() const { return m_state; }
    QIODevice *ioDevice() const { return m_device.data(); }
    float operationProgress() const { return m_progress; }
    Error operationError() const { return m_error; }
    QString operationErrorString() const { return m_errorString; }
    // Protocol step 0-18 (Step); exposed for tests and diagnostics.
    int step() const { return m_step; }

    Q_INVOKABLE void beginOperation(StmBootLoader::Operation operation, uint32_t maxVerifyFailures, QByteArray data);
    Q_INVOKABLE void sendGo();

public slots:
    void setIoDevice(QIODevice *device);
    void setOperationProgress(float progress);

signals:
    void operationErrorChanged();
    void ioDeviceChanged();
    void idReceived();
    void stateChanged(StmBootLoader::State state);
    void operationProgressChanged(float progress);
    void operationFinished(StmBootLoader::Error error);

private:
    enum class Deferred { None, Operation, Go };

    static bool expectsAck(Step step);
    void setStep(Step step);
    void setPublicState(State state);
    void onReadyRead();
    void processAvailable();
    void handleByte(quint8 byte);
    // One function per phase of the exchange.
    void handleConnectByte(quint8 byte);
    void handleGetReplyByte(quint8 byte);
    void handleAck();
    void erasePage();
    void onPageErased();
    void writeBlock();
    void handleReadDataByte(quint8 byte);
    void onVerifyMismatch();
    void onBlockVerified();
    void startErase();
    void startWrite();
    void startRead();
    void startNextBlock();
    void onTimeout();
    void onFirstByteTimer();
    void onBytesWritten();
    void transmissionFailure();
    void repeatCommand();
    void onSilence();
    bool startFinalCheck();
    void startResync();
    void handleResyncByte(quint8 byte);
    void onResyncTimeout();
    bool countFailure();
    void finishOperation(Error error, const QString &text);
    void startOperation(Operation operation, uint32_t maxVerifyFailures, const QByteArray &data);
    void writeBytes(const QByteArray &bytes);
    void sendSync();
    void sendGet();
    void sendEraseCommand();
    void sendWriteCommand();
    void sendReadCommand();
    void sendGoBytes();
    void updateProgress();
    void releaseDevice();
    quint32 blockOffset() const;
    QByteArray addressBytes(quint32 address) const;
    void runDeferred();

    Step m_step = Step_NoDevice;
    State m_state = State_NoDevice;
    QPointer<QIODevice> m_device;
    QPointer<AbstractSerialPort> m_serialPort;
    QMetaObject::Connection m_readyReadConnection;
    QMetaObject::Connection m_bytesWrittenConnection;
    QElapsedTimer m_unsentSince;  // valid while a step time-out found bytes not yet sent
    QMetaObject::Connection m_destroyedConnection;

    QByteArray m_image;
    Operation m_operation = EraseProgramVerify;
    uint32_t m_maxVerifyFailures = 0;
    bool m_operationActive = false;
    int m_erasedBytes = 0;
    int m_doneBytes = 0;
    int m_failureCount = 0;
    // Step times the current step has gone without an answer.
    int m_silentSteps = 0;
    // The step's answer is overdue: waiting for a quiet line before the command is repeated.
    bool m_awaitingQuiet = false;
    // A command was repeated while its first answer might still have been on its way. Such an
    // answer, arriving later, can be taken for another phase's and let stray bytes reach the
    // device as commands; the whole image is therefore read back once more before success.
    bool m_repeatedAfterSilence = false;
    bool m_finalCheck = false;
    // Resynchronising: draining the filler's answers, probing with 7F, letting the line settle.
    enum class Resync { Draining, Probing, Settling };
    Resync m_resync = Resync::Draining;
    Step m_resumeStep = Step_NoDevice;
    bool m_finalCheckMismatch = false;

    int m_replyExpected = 0;
    QByteArray m_reply;

    float m_progress = 0.0f;
    Error m_error = Error_None;
    QString m_errorString;

    Deferred m_deferred = Deferred::None;
    Operation m_deferredOperation = EraseProgramVerify;
    uint32_t m_deferredLimit = 0;
    QByteArray m_deferredData;

    QTimer m_timeoutTimer;
    QTimer m_firstByteTimer;
    bool m_processing = false;
};
