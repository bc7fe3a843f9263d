#include "StmBootLoader.h"

#include "BootloaderMetatypes.h"

#include <QDebug>
#include <QIODevice>

#include "serial/AbstractSerialPort.h"

#include <algorithm>
#include <utility>

namespace {
constexpr quint8 kAck = 0x79;
constexpr quint8 kNack = 0x1F;
constexpr quint8 kSync = 0x7F;

QByteArray bytes(std::initializer_list<quint8> list)
{
    QByteArray out;
    out.reserve(int(list.size()));
    for (quint8 b : list)
        out.append(char(b));
    return out;
}

StmBootLoader::State stateOfStep(StmBootLoader::Step step)
{
    if (step == StmBootLoader::Step_NoDevice || step == StmBootLoader::Step_Released)
        return StmBootLoader::State_NoDevice;
    if (step <= StmBootLoader::Step_GetFinalAck)
        return StmBootLoader::State_Connecting;
    if (step <= StmBootLoader::Step_IdleProbe)
        return StmBootLoader::State_Ready;
    return StmBootLoader::State_Busy;
}
}  // namespace

StmBootLoader::StmBootLoader(QObject *parent) : QObject(parent)
{
    // Signal arguments of these types travel through spies and queued connections.
    registerBootloaderMetatypes();
    m_timeoutTimer.setSingleShot(true);
    m_timeoutTimer.setInterval(kStepTimeoutMs);
    m_firstByteTimer.setSingleShot(true);
    m_firstByteTimer.setInterval(kFirstByteDelayMs);
    connect(&m_timeoutTimer, &QTimer::timeout, this, &StmBootLoader::onTimeout);
    connect(&m_firstByteTimer, &QTimer::timeout, this, &StmBootLoader::onFirstByteTimer);
}

StmBootLoader::~StmBootLoader()
{
    disconnect(m_readyReadConnection);
    disconnect(m_bytesWrittenConnection);
    disconnect(m_destroyedConnection);
}

void StmBootLoader::setPublicState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

// The steps in which anything but an ACK is a transmission failure.
bool StmBootLoader::expectsAck(Step step)
{
    return step == Step_GoAck || (step >= Step_EraseCommandAck && step <= Step_ReadAddressAck);
}

void StmBootLoader::setStep(Step step)
{
    m_step = step;
    m_silentSteps = 0;
    m_awaitingQuiet = false;
    m_timeoutTimer.setInterval(kStepTimeoutMs);
    if (step == Step_FirstByteDelay || step == Step_SyncReply)
        m_failureCount = 0;
    if (step == Step_NoDevice || step == Step_Released || !m_device)
        m_timeoutTimer.stop();
    else
        m_timeoutTimer.start();
    setPublicState(stateOfStep(step));
    // A state listener may already have moved the loader on (e.g. sent Go on Ready).
    if (step == Step_Idle && m_step == Step_Idle)
        runDeferred();
}

void StmBootLoader::runDeferred()
{
    const Deferred action = m_deferred;
    m_deferred = Deferred::None;
    if (action == Deferred::Operation) {
        const QByteArray data = std::move(m_deferredData);
        m_deferredData.clear();
        startOperation(m_deferredOperation, m_deferredLimit, data);
    } else if (action == Deferred::Go) {
        sendGo();
    }
}

void StmBootLoader::setOperationProgress(float progress)
{
    if (progress == m_progress)
        return;
    m_progress = progress;
    emit operationProgressChanged(progress);
}

void StmBootLoader::setIoDevice(QIODevice *device)
{
    if (device && !device->isOpen())
        device = nullptr;
    disconnect(m_readyReadConnection);
    m_readyReadConnection = {};
    disconnect(m_bytesWrittenConnection);
    m_bytesWrittenConnection = {};
    disconnect(m_destroyedConnection);
    m_destroyedConnection = {};
    m_timeoutTimer.stop();
    m_firstByteTimer.stop();
    m_unsentSince.invalidate();
    m_device = device;
    m_serialPort = qobject_cast<AbstractSerialPort *>(device);
    // A request waiting for the idle probe's answer, or a running operation, can no longer
    // finish on its own: report it rather than leave the caller waiting for ever.
    bool lostOperation = m_operationActive;
    if (m_deferred != Deferred::None) {
        qWarning() << "StmBootLoader: request dropped, the device changed";
        lostOperation = lostOperation || m_deferred == Deferred::Operation;
        m_deferred = Deferred::None;
        m_deferredData.clear();
    }
    if (lostOperation) {
        m_operationActive = false;
        m_image.clear();
        m_error = Error_Protocol;
        m_errorString = QStringLiteral("BootLoader communication error");
        qWarning() << "StmBootLoader: device lost during an operation";
        emit operationErrorChanged();
        emit operationFinished(m_error);
        setOperationProgress(1.0f);
    }
    emit ioDeviceChanged();
    if (m_device != device)
        return;  // a listener replaced the device already
    if (m_device) {
        m_readyReadConnection = connect(m_device.data(), &QIODevice::readyRead, this, &StmBootLoader::onReadyRead);
        m_bytesWrittenConnection =
            connect(m_device.data(), &QIODevice::bytesWritten, this, &StmBootLoader::onBytesWritten);
        // A device deleted under us (its owner closed the port) counts as taken away.
        m_destroyedConnection = connect(m_device.data(), &QObject::destroyed, this, [this] { setIoDevice(nullptr); });
        setStep(Step_FirstByteDelay);
        m_firstByteTimer.start();
    } else {
        setStep(Step_NoDevice);
    }
}

void StmBootLoader::onFirstByteTimer()
{
    if (m_step != Step_FirstByteDelay || !m_device)
        return;
    // Whatever arrived before the loader spoke (the firmware's last words) is not an answer.
    if (m_device->bytesAvailable() > 0)
        m_device->readAll();
    setPublicState(State_Connecting);
    setStep(Step_SyncReply);
    sendSync();
}

void StmBootLoader::writeBytes(const QByteArray &data)
{
    if (m_device && m_device->isOpen() && m_device->isWritable())
        m_device->write(data);
}

void StmBootLoader::sendSync()
{
    writeBytes(bytes({kSync}));
}
void StmBootLoader::sendGet()
{
    writeBytes(bytes({0x00, 0xFF}));
}
void StmBootLoader::sendEraseCommand()
{
    writeBytes(bytes({0x44, 0xBB}));
}
void StmBootLoader::sendWriteCommand()
{
    writeBytes(bytes({0x31, 0xCE}));
}
void StmBootLoader::sendReadCommand()
{
    writeBytes(bytes({0x11, 0xEE}));
}
void StmBootLoader::sendGoBytes()
{
    writeBytes(bytes({0x21, 0xDE, 0x08, 0x00, 0x00, 0x00, 0x08}));
}

QByteArray StmBootLoader::addressBytes(quint32 address) const
{
    const quint8 b0 = quint8(address >> 24), b1 = quint8(address >> 16), b2 = quint8(address >> 8),
                 b3 = quint8(address);
    return bytes({b0, b1, b2, b3, quint8(b0 ^ b1 ^ b2 ^ b3)});
}

quint32 StmBootLoader::blockOffset() const
{
    return quint32(m_image.size() - m_doneBytes - kBlockSize);
}

void StmBootLoader::beginOperation(StmBootLoader::Operation operation, uint32_t maxVerifyFailures, QByteArray data)
{
    if (m_step == Step_IdleProbe) {
        m_deferred = Deferred::Operation;
        m_deferredOperation = operation;
        m_deferredLimit = maxVerifyFailures;
        m_deferredData = data;
        return;
    }
    if (m_step != Step_Idle) {
        qWarning() << "StmBootLoader::eraseAndFlash() while not idle!";
        return;
    }
    startOperation(operation, maxVerifyFailures, data);
}

void StmBootLoader::startOperation(Operation operation, uint32_t maxVerifyFailures, const QByteArray &data)
{
    m_operationActive = true;
    m_operation = operation;
    m_image = data;
    if (m_image.isEmpty()) {
        finishOperation(Error_Protocol, QStringLiteral("Zero size flash program"));
        return;
    }
    const int padded = (m_image.size() + kBlockSize - 1) / kBlockSize * kBlockSize;
    if (quint64(kStartAddress) + quint64(padded) > quint64(kEndAddressLimit)) {
        finishOperation(Error_Protocol, QStringLiteral("Bad end flash address"));
        return;
    }
    m_image.append(QByteArray(padded - m_image.size(), char(0xFF)));
    setOperationProgress(0.0f);
    m_failureCount = 0;
    m_erasedBytes = 0;
    m_doneBytes = 0;
    m_maxVerifyFailures = maxVerifyFailures;
    m_repeatedAfterSilence = false;
    m_finalCheck = false;
    m_finalCheckMismatch = false;
    if (operation == EraseProgramVerify)
        startErase();
    else
        startRead();
}

void StmBootLoader::startErase()
{
    setStep(Step_EraseCommandAck);
    sendEraseCommand();
}

void StmBootLoader::startWrite()
{
    setStep(Step_WriteCommandAck);
    sendWriteCommand();
}

void StmBootLoader::startRead()
{
    setStep(Step_ReadCommandAck);
    sendReadCommand();
}

// The current block again after a mismatch, or the next one: programmed then verified, or
// verified only.
void StmBootLoader::startNextBlock()
{
    if (m_operation == EraseProgramVerify && !m_finalCheck)
        startWrite();
    else
        startRead();
}

void StmBootLoader::sendGo()
{
    if (m_step == Step_IdleProbe) {
        m_deferred = Deferred::Go;
        return;
    }
    if (m_step != Step_Idle && m_step != Step_GoAck) {
        qWarning() << "StmBootLoader::sendGo() while not idle!";
        return;
    }
    qInfo() << "StmBootLoader::sendGo()";
    setStep(Step_GoAck);
    sendGoBytes();
    // Go is normally followed at once by a mode switch that closes the port: push it out now.
    if (m_serialPort && m_serialPort->isOpen()) {
        m_serialPort->flush();
        m_serialPort->waitForBytesWritten(100);
    }
}

void StmBootLoader::updateProgress()
{
    const float size = float(m_image.size());
    if (size <= 0 || m_finalCheck)
        return;  // the programming is done; the last read-back adds no progress
    float progress;
    if (m_operation == EraseProgramVerify) {
        // Pages are 2048 bytes, so the erase count can pass the image size.
        const float erased = float(std::min(m_erasedBytes, m_image.size()));
        progress = 0.97f * float(m_doneBytes) / size + 0.03f * erased / size;
    } else {
        progress = float(m_doneBytes) / size;
    }
    setOperationProgress(std::min(progress, 1.0f));
}

void StmBootLoader::finishOperation(Error error, const QString &text)
{
    const bool wasActive = m_operationActive;
    m_operationActive = false;
    m_finalCheck = false;
    m_repeatedAfterSilence = false;
    m_image.clear();
    if (wasActive) {
        m_error = error;
        m_errorString = text;
        if (error != Error_None)
            qWarning().noquote() << "StmBootLoader operation failed:" << text;
        emit operationErrorChanged();
        emit operationFinished(error);
        setOperationProgress(1.0f);
    }
    if (!m_device || m_step == Step_NoDevice || m_step == Step_Released)
        return;  // a listener took the device away
    sendSync();
    setStep(Step_SyncReply);
}

bool StmBootLoader::countFailure()
{
    ++m_failureCount;
    if (m_failureCount <= kMaxTransmissionFailures)
        return false;
    sendSync();
    finishOperation(Error_Protocol, QStringLiteral("BootLoader communication error"));
    return true;
}

void StmBootLoader::transmissionFailure()
{
    qWarning() << "StmBootLoader onTransmissionFailure()";
    if (countFailure())
        return;
    repeatCommand();
}

// The current command again from its command byte.
void StmBootLoader::repeatCommand()
{
    switch (m_step) {
    case Step_GoAck:
        setStep(Step_GoAck);
        sendGoBytes();
        break;
    case Step_EraseCommandAck:
    case Step_ErasePageAck:
        startErase();
        break;
    case Step_WriteCommandAck:
    case Step_WriteAddressAck:
    case Step_WriteDataAck:
        startWrite();
        break;
    case Step_ReadCommandAck:
    case Step_ReadAddressAck:
    case Step_ReadData:
        startRead();
        break;
    default:
        break;
    }
}

// The step's answer has not come for several step times. It is counted as a failure, yet the
// command is repeated only once the line has stayed quiet a good while longer: a repeat that
// crosses its late answer leaves the device one phase ahead of us, and every later ACK would
// then be taken as the answer to a different phase.
void StmBootLoader::onSilence()
{
    if (m_step == Step_ReadData && !m_reply.isEmpty()) {
        // The device has sent its whole answer in one go and is back at a command boundary;
        // the bytes still missing were lost on the line. The block is read again.
        if (countFailure())
            return;
        if (m_device->bytesAvailable() > 0)
            m_device->readAll();
        repeatCommand();
        return;
    }
    if (!m_awaitingQuiet) {
        if (countFailure())
            return;
        m_awaitingQuiet = true;
        m_timeoutTimer.start(kQuietBeforeRepeatMs);
        return;
    }
    m_awaitingQuiet = false;
    m_timeoutTimer.setInterval(kStepTimeoutMs);
    qWarning() << "StmBootLoader: no answer, the command is repeated";
    if (m_operationActive && m_operation == EraseProgramVerify && !m_finalCheck)
        m_repeatedAfterSilence = true;
    // After Go the device may be running the firmware already: nothing but Go goes to it.
    if (m_step == Step_GoAck || !m_operationActive)
        repeatCommand();
    else
        startResync();
}

// The answer may yet come, and the device may be waiting in the middle of a command. The
// filler ends any such command with a NACK; once its answers have drained, single 7F bytes
// find the command boundary (7F 7F is always a NACK), and the line settles before the
// command starts again from its command byte. Everything received meanwhile is discarded,
// so a late answer is never taken for a different phase's.
void StmBootLoader::startResync()
{
    m_resumeStep = m_step;
    setStep(Step_Resync);
    m_resync = Resync::Draining;
    m_timeoutTimer.start(kQuietBeforeRepeatMs);
    if (m_device->bytesAvailable() > 0)
        m_device->readAll();
    writeBytes(QByteArray(kResyncFillBytes, char(0x02)));
}

void StmBootLoader::handleResyncByte(quint8 byte)
{
    if (m_resync == Resync::Probing && (byte == kNack || byte == kAck))
        m_resync = Resync::Settling;
    m_timeoutTimer.start(kQuietBeforeRepeatMs);  // quiet again from now
}

void StmBootLoader::onResyncTimeout()
{
    switch (m_resync) {
    case Resync::Probing:
        if (countFailure())
            return;
        [[fallthrough]];
    case Resync::Draining:
        m_resync = Resync::Probing;
        sendSync();
        m_timeoutTimer.start(kQuietBeforeRepeatMs);
        return;
    case Resync::Settling:
        m_step = m_resumeStep;
        repeatCommand();
        return;
    }
}

void StmBootLoader::onBytesWritten()
{
    if (!m_device || m_device->bytesToWrite() > 0)
        return;
    m_unsentSince.invalidate();
    // The wait for the answer starts now that the request has left; on a busy host that can be
    // well after it was written.
    if (m_timeoutTimer.isActive())
        m_timeoutTimer.start();
}

void StmBootLoader::onTimeout()
{
    if (!m_device)
        return;
    if (m_device->bytesToWrite() > 0) {
        if (!m_unsentSince.isValid())
            m_unsentSince.start();
        if (m_unsentSince.elapsed() < kUnsentGraceMs) {
            m_timeoutTimer.start();
            return;
        }
    }
    switch (m_step) {
    case Step_NoDevice:
    case Step_FirstByteDelay:
    case Step_Released:
        return;
    case Step_Resync:
        if (m_device->bytesAvailable() > 0)
            processAvailable();
        else if (!m_serialPort || m_serialPort->bytesWaitingInSystem() == 0)
            onResyncTimeout();
        else
            m_timeoutTimer.start();
        return;
    case Step_SyncReply:
        sendSync();
        m_timeoutTimer.start();
        return;
    case Step_Idle:
        writeBytes(bytes({kSync, kSync}));
        setStep(Step_IdleProbe);
        return;
    case Step_IdleProbe:
        writeBytes(bytes({kSync, kSync}));
        break;
    default:
        break;
    }
    qWarning() << "StmBootLoader timeout tick";
    const bool ackStep = expectsAck(m_step);
    // The Get exchange too: a Get asked again while the first one's reply is on its way has the
    // device answer twice, and the second reply, arriving once we are idle, is taken for the
    // ACKs of the operation that follows.
    const bool connecting = m_step >= Step_GetAck && m_step <= Step_GetFinalAck;
    if (ackStep || m_step == Step_ReadData || connecting) {
        // On a busy host the answer may be waiting already, its readyRead still queued: that
        // is no timeout.
        if (m_device->bytesAvailable() > 0) {
            const Step step = m_step;
            processAvailable();
            if (m_device && m_step == step)
                m_timeoutTimer.start();
            return;
        }
        // Or it has reached the host and the port's reader, as starved as we are, has not
        // fetched it yet.
        if (m_serialPort && m_serialPort->bytesWaitingInSystem() > 0) {
            m_timeoutTimer.start();
            return;
        }
        // An answer can be late rather than lost. A command repeated while its answer is still
        // on its way desynchronises the exchange (the late answer is taken for the repeat's)
        // and the failures that follow end the whole operation, so the command is repeated
        // only after several silent step times.
        if (++m_silentSteps < kSilentStepsBeforeRepeat) {
            m_timeoutTimer.start();
            return;
        }
        if (!connecting) {
            onSilence();
            return;
        }
    }
    if (countFailure())
        return;
    handleByte(0xFF);
    if (m_device && m_step != Step_NoDevice && m_step != Step_Released)
        m_timeoutTimer.start();
}

void StmBootLoader::onReadyRead()
{
    processAvailable();
}

void StmBootLoader::processAvailable()
{
    if (m_processing)
        return;
    m_processing = true;
    while (m_device && m_device->bytesAvailable() > 0) {
        QIODevice *const device = m_device.data();
        const QByteArray data = device->readAll();
        if (data.isEmpty())
            break;
        for (char c : data) {
            if (m_device.data() != device)
                break;  // the mode switched under us: the rest belongs to someone else
            handleByte(quint8(c));
        }
        if (m_device.data() != device)
            break;
    }
    m_processing = false;
}

void StmBootLoader::handleByte(quint8 byte)
{
    m_silentSteps = 0;
    if (m_awaitingQuiet) {
        // The overdue answer came after all: late, not lost, so its failure is taken back.
        m_awaitingQuiet = false;
        m_failureCount = std::max(0, m_failureCount - 1);
        m_timeoutTimer.start(kStepTimeoutMs);
    }
    if (expectsAck(m_step)) {
        if (byte == kAck)
            handleAck();
        else
            transmissionFailure();
        return;
    }
    switch (m_step) {
    case Step_SyncReply:
    case Step_GetAck:
    case Step_GetLength:
    case Step_GetData:
    case Step_GetFinalAck:
        handleConnectByte(byte);
        break;
    case Step_IdleProbe:
        if (byte == kNack)
            setStep(Step_Idle);
        break;
    case Step_ReadData:
        handleReadDataByte(byte);
        break;
    case Step_Resync:
        handleResyncByte(byte);
        break;
    default:
        break;  // no device, the first-byte delay, idle and released ignore what arrives
    }
}

// Sync and Get: anything unexpected goes back one step and asks again.
void StmBootLoader::handleConnectByte(quint8 byte)
{
    switch (m_step) {
    case Step_SyncReply:
        // NACK too: the bootloader was synchronised already.
        if (byte == kAck || byte == kNack) {
            setStep(Step_GetAck);
            sendGet();
        } else {
            sendSync();
        }
        break;
    case Step_GetAck:
        if (byte == kAck) {
            setStep(Step_GetLength);
        } else {
            sendGet();
            setStep(Step_SyncReply);
        }
        break;
    case Step_GetLength:
    case Step_GetData:
        handleGetReplyByte(byte);
        break;
    case Step_GetFinalAck:
        if (byte == kAck) {
            setStep(Step_Idle);
        } else {
            setStep(Step_GetAck);
            sendGet();
        }
        break;
    default:
        break;
    }
}

void StmBootLoader::handleGetReplyByte(quint8 byte)
{
    if (m_step == Step_GetLength) {
        m_replyExpected = int(byte) + 1;
        m_reply.clear();
        setStep(Step_GetData);
        return;
    }
    m_reply.append(char(byte));
    if (m_reply.size() < m_replyExpected)
        return;
    qInfo().noquote() << "StmBootLoader device version:"
                      << QStringLiteral("0x%1").arg(quint8(m_reply[0]), 2, 16, QLatin1Char('0'));
    QString codes;
    for (int i = 1; i < m_reply.size(); ++i)
        codes += QStringLiteral(" 0x%1").arg(quint8(m_reply[i]), 2, 16, QLatin1Char('0'));
    qInfo().noquote() << "StmBootLoader device commands:" + codes;
    setStep(Step_GetFinalAck);
}

// The ACK a command step waited for: the next part of the command, or the next command.
void StmBootLoader::handleAck()
{
    switch (m_step) {
    case Step_GoAck:
        releaseDevice();
        break;
    case Step_EraseCommandAck:
        erasePage();
        break;
    case Step_ErasePageAck:
        onPageErased();
        break;
    case Step_WriteCommandAck:
        setStep(Step_WriteAddressAck);
        writeBytes(addressBytes(kStartAddress + blockOffset()));
        break;
    case Step_WriteAddressAck:
        writeBlock();
        break;
    case Step_WriteDataAck:
        startRead();
        break;
    case Step_ReadCommandAck:
        setStep(Step_ReadAddressAck);
        writeBytes(addressBytes(kStartAddress + blockOffset()));
        break;
    case Step_ReadAddressAck:
        m_replyExpected = kBlockSize + 1;
        m_reply.clear();
        setStep(Step_ReadData);
        writeBytes(bytes({0xFF, 0x00}));
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------- erase

void StmBootLoader::erasePage()
{
    const int page = m_erasedBytes / kPageSize;
    const quint8 hi = quint8(page >> 8), lo = quint8(page);
    setStep(Step_ErasePageAck);
    writeBytes(bytes({0x00, 0x00, hi, lo, quint8(hi ^ lo)}));
}

void StmBootLoader::onPageErased()
{
    m_erasedBytes += kPageSize;
    updateProgress();
    if (m_erasedBytes < m_image.size())
        startErase();
    else
        startWrite();
}

// ---------------------------------------------------------------- write

void StmBootLoader::writeBlock()
{
    QByteArray frame;
    frame.reserve(kBlockSize + 2);
    frame.append(char(0xFF));
    quint8 x = 0xFF;
    const char *block = m_image.constData() + blockOffset();
    for (int i = 0; i < kBlockSize; ++i)
        x ^= quint8(block[i]);
    frame.append(block, kBlockSize);
    frame.append(char(x));
    setStep(Step_WriteDataAck);
    writeBytes(frame);
}

// ---------------------------------------------------------------- verify

void StmBootLoader::handleReadDataByte(quint8 byte)
{
    m_reply.append(char(byte));
    if (m_reply.size() == 1 && byte != kAck) {
        // The read is asked again; this does not count as a transmission failure.
        startRead();
        return;
    }
    if (m_reply.size() < m_replyExpected)
        return;
    if (QByteArray::fromRawData(m_reply.constData() + 1, kBlockSize) !=
        QByteArray::fromRawData(m_image.constData() + blockOffset(), kBlockSize))
        onVerifyMismatch();
    else
        onBlockVerified();
}

void StmBootLoader::onVerifyMismatch()
{
    qWarning() << "Verify failed";
    if (m_finalCheck) {
        // Programming is over, so the flash cannot be mended block by block any more. A second
        // read tells a spoiled answer from a spoiled block; a spoiled block fails the flash.
        if (!std::exchange(m_finalCheckMismatch, true)) {
            startRead();
            return;
        }
        finishOperation(Error_Checksum, QStringLiteral("Too many verification failures"));
        return;
    }
    // The limit counts over the whole operation; 0 means no limit.
    if (m_maxVerifyFailures != 0) {
        const bool last = m_maxVerifyFailures == 1;
        --m_maxVerifyFailures;
        if (last) {
            finishOperation(Error_Checksum, QStringLiteral("Too many verification failures"));
            return;
        }
    }
    startNextBlock();
}

void StmBootLoader::onBlockVerified()
{
    m_doneBytes += kBlockSize;
    m_finalCheckMismatch = false;
    if (m_doneBytes % kPageSize == 0)
        m_failureCount = 0;
    updateProgress();
    if (m_doneBytes < m_image.size()) {
        startNextBlock();
        return;
    }
    if (startFinalCheck())
        return;
    m_image.clear();
    sendSync();
    setOperationProgress(1.0f);
    finishOperation(Error_None, QString());
}

// After a command was repeated over a possibly late answer, the whole image is read back once
// more: stray bytes may have reached the device as commands after its blocks were verified.
bool StmBootLoader::startFinalCheck()
{
    if (!m_repeatedAfterSilence)
        return false;
    m_repeatedAfterSilence = false;
    m_finalCheck = true;
    m_doneBytes = 0;
    qWarning() << "StmBootLoader: a command was repeated; the whole image is read back";
    startRead();
    return true;
}

void StmBootLoader::releaseDevice()
{
    m_timeoutTimer.stop();
    m_firstByteTimer.stop();
    disconnect(m_readyReadConnection);
    m_readyReadConnection = {};
    disconnect(m_bytesWrittenConnection);
    m_bytesWrittenConnection = {};
    disconnect(m_destroyedConnection);
    m_destroyedConnection = {};
    m_step = Step_Released;
    m_device = nullptr;
    m_serialPort = nullptr;
    setPublicState(State_NoDevice);
    emit ioDeviceChanged();
}
