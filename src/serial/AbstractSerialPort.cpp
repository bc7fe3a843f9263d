#include "AbstractSerialPort.h"

#include "SerialMetatypes.h"
#include "SerialTrafficRing.h"

#include <QDebug>
#include <QMetaObject>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct FactoryList {
    std::mutex mutex;
    std::vector<std::unique_ptr<AbstractSerialPort::PortDriverFactory>> factories;
};

FactoryList &factoryList()
{
    static FactoryList list;
    return list;
}

}  // namespace

AbstractSerialPort::PortDriver::~PortDriver() = default;
AbstractSerialPort::PortDriverFactory::~PortDriverFactory() = default;

struct AbstractSerialPort::Private {
    QString portName;
    SerialPortError error = NoError;
    int baudRate = 115200;
    Parity parity = NoParity;
    bool requestToSend = false;

    std::atomic<bool> stopRequested{false};
    std::unique_ptr<PortDriver> driver;
    std::thread reader;
    std::thread writer;

    // Allocated at the first open; stays readable after the port closes so that bytes
    // received before a hang-up are not lost.
    std::unique_ptr<char[]> receiveBuffer;
    // Unread bytes start here; readers advance it instead of moving the rest of the buffer
    // for every read (a parser reading a few bytes at a time would otherwise move up to
    // 1 MiB per call). The reader compacts when it runs out of room at the end.
    qint64 receiveHead = 0;
    std::atomic<qint64> receiveCount{0};
    mutable std::mutex receiveLock;

    std::vector<char> transmitQueue;
    std::mutex transmitLock;
    std::condition_variable transmitCondition;
    // Bytes the writer has taken from the queue but not yet handed to the driver; flush()
    // waits on transmitDrained until there are none.
    bool transmitting = false;
    // Written by the owner and not yet handed to the driver (queued or in the writer's hands).
    std::atomic<qint64> unsent{0};
    std::condition_variable transmitDrained;
};

AbstractSerialPort::AbstractSerialPort(QObject *parent) : AbstractSerialPort(QString(), parent) {}

AbstractSerialPort::AbstractSerialPort(const QString &portName, QObject *parent)
    : QIODevice(parent), d(std::make_unique<Private>())
{
    d->portName = portName;
    // Errors are reported from the worker threads by queued signals.
    registerSerialMetatypes();
    connect(
        this, &AbstractSerialPort::errorOccurred, this,
        [this](SerialPortError error) {
            if (error != NoError)
                close();
        },
        Qt::QueuedConnection);
}

AbstractSerialPort::~AbstractSerialPort()
{
    close();
}

void AbstractSerialPort::registerPortDriverFactory(std::unique_ptr<PortDriverFactory> factory)
{
    if (!factory)
        return;
    FactoryList &list = factoryList();
    std::lock_guard<std::mutex> lock(list.mutex);
    list.factories.push_back(std::move(factory));
}

void AbstractSerialPort::clearPortDriverFactories()
{
    FactoryList &list = factoryList();
    std::lock_guard<std::mutex> lock(list.mutex);
    list.factories.clear();
}

int AbstractSerialPort::portDriverFactoryCount()
{
    FactoryList &list = factoryList();
    std::lock_guard<std::mutex> lock(list.mutex);
    return int(list.factories.size());
}

QString AbstractSerialPort::errorText(SerialPortError error)
{
    switch (error) {
    case NoError:
        return QString();
    case DeviceNotFoundError:
        return QStringLiteral("Device not found");
    case PermissionError:
        return QStringLiteral("Access denied");
    case OpenError:
        return QStringLiteral("Could not open device");
    case WriteError:
        return QStringLiteral("Device write error");
    case ReadError:
        return QStringLiteral("Device read error");
    case NotOpenError:
        return QStringLiteral("Device has not been opened");
    default:
        return QStringLiteral("Unknown error");
    }
}

void AbstractSerialPort::setError(SerialPortError error)
{
    d->error = error;
    setErrorString(errorText(error));
}

bool AbstractSerialPort::setBaudRate(int baud, Directions directions)
{
    d->baudRate = baud;
    if (d->driver && !d->driver->setBaudRate(baud, directions)) {
        setError(d->driver->lastErrorCode());
        return false;
    }
    return true;
}

bool AbstractSerialPort::setParity(Parity parity)
{
    d->parity = parity;
    if (d->driver)
        return d->driver->setParity(parity);
    return true;
}

bool AbstractSerialPort::setRequestToSend(bool on)
{
    d->requestToSend = on;
    if (d->driver)
        return d->driver->setRequestToSend(on);
    return true;
}

bool AbstractSerialPort::flush()
{
    if (!d->driver) {
        setError(NotOpenError);
        return false;
    }
    // What was written is still ours until the writer thread hands it to the driver, and
    // close() discards it: a Go or an enter-bootloader request followed at once by a port
    // switch would never reach the logger. Bounded like the driver's own flush.
    {
        std::unique_lock<std::mutex> lock(d->transmitLock);
        const bool drained = d->transmitDrained.wait_for(lock, std::chrono::milliseconds(kFlushWaitMs), [this] {
            return d->stopRequested.load() || (d->transmitQueue.empty() && !d->transmitting);
        });
        if (!drained) {
            setError(TimeoutError);
            return false;
        }
    }
    return d->driver->flush();
}

int AbstractSerialPort::baudRate() const
{
    return d->baudRate;
}

AbstractSerialPort::Parity AbstractSerialPort::parity() const
{
    return d->parity;
}

bool AbstractSerialPort::requestToSend() const
{
    return d->requestToSend;
}

AbstractSerialPort::SerialPortError AbstractSerialPort::error() const
{
    return d->error;
}

QString AbstractSerialPort::portName() const
{
    return d->portName;
}

void AbstractSerialPort::setPortName(const QString &portName)
{
    if (d->portName == portName)
        return;
    d->portName = portName;
    emit portNameChanged(portName);
}

bool AbstractSerialPort::open(OpenMode mode)
{
    if (d->driver) {
        // The worker threads of the running session would be orphaned.
        qWarning().noquote() << "Serial port" << d->portName << "is already open";
        return false;
    }

    std::unique_ptr<PortDriver> driver;
    {
        FactoryList &list = factoryList();
        std::lock_guard<std::mutex> lock(list.mutex);
        for (const auto &factory : list.factories) {
            std::unique_ptr<PortDriver> candidate = factory->createDriver();
            if (!candidate)
                continue;
            if (candidate->open(d->portName)) {
                driver = std::move(candidate);
                break;
            }
            setError(candidate->lastErrorCode());
        }
    }
    if (!driver)
        return false;

    d->driver = std::move(driver);
    d->driver->setBaudRate(d->baudRate, AllDirections);
    d->driver->setParity(d->parity);
    d->driver->setRequestToSend(d->requestToSend);

    if (!d->receiveBuffer)
        d->receiveBuffer.reset(new char[kReceiveBufferSize]);
    d->stopRequested.store(false);
    d->reader = std::thread([this] { readerLoop(); });
    d->writer = std::thread([this] { writerLoop(); });

    QIODevice::open((mode & QIODevice::ReadWrite) | QIODevice::Unbuffered);
    setError(NoError);
    emit errorOccurred(NoError);
    return true;
}

void AbstractSerialPort::close()
{
    if (!d->driver)
        return;
    if (openMode() != NotOpen)
        QIODevice::close();

    d->stopRequested.store(true);
    d->driver->interrupt();
    {
        std::lock_guard<std::mutex> lock(d->transmitLock);
        // Unsent bytes are discarded; close never waits for the line.
        d->transmitQueue.clear();
        d->unsent = 0;
    }
    d->transmitCondition.notify_all();
    if (d->writer.joinable())
        d->writer.join();
    d->driver->close();
    if (d->reader.joinable())
        d->reader.join();
    d->driver.reset();
    d->stopRequested.store(false);
}

qint64 AbstractSerialPort::bytesAvailable() const
{
    return d->receiveCount.load() + QIODevice::bytesAvailable();
}

qint64 AbstractSerialPort::readData(char *data, qint64 maxSize)
{
    if (maxSize < 0)
        return -1;
    {
        std::lock_guard<std::mutex> lock(d->receiveLock);
        const qint64 count = d->receiveCount.load();
        if (count > 0) {
            const qint64 n = std::min(count, maxSize);
            if (n > 0) {
                std::memcpy(data, d->receiveBuffer.get() + d->receiveHead, size_t(n));
                d->receiveHead = (n == count) ? 0 : d->receiveHead + n;
                d->receiveCount.store(count - n);
            }
            return n;
        }
    }
    if (d->driver)
        return 0;
    setError(NotOpenError);
    return -1;
}

qint64 AbstractSerialPort::bytesWaitingInSystem() const
{
    return d->driver && isOpen() ? d->driver->inputWaiting() : 0;
}

qint64 AbstractSerialPort::bytesToWrite() const
{
    return std::max<qint64>(0, d->unsent.load());
}

qint64 AbstractSerialPort::writeData(const char *data, qint64 maxSize)
{
    if (!d->driver) {
        setError(NotOpenError);
        return -1;
    }
    if (maxSize <= 0)
        return maxSize < 0 ? -1 : 0;
    {
        std::lock_guard<std::mutex> lock(d->transmitLock);
        d->transmitQueue.insert(d->transmitQueue.end(), data, data + maxSize);
        d->unsent += maxSize;
    }
    d->transmitCondition.notify_all();
    return maxSize;
}

void AbstractSerialPort::postWorkerError(SerialPortError error)
{
    // Errors caused by our own close are not the line's fault.
    if (d->stopRequested.load())
        return;
    QMetaObject::invokeMethod(
        this, [this, error] { emit errorOccurred(error); }, Qt::QueuedConnection);
}

void AbstractSerialPort::readerLoop()
{
    PortDriver *driver = d->driver.get();
    char chunk[kReadChunkSize];
    while (!d->stopRequested.load()) {
        quint64 got = 0;
        if (!driver->read(chunk, kReadChunkSize, &got)) {
            postWorkerError(ReadError);
            return;
        }
        if (got == 0)
            continue;
        got = std::min<quint64>(got, kReadChunkSize);
        SerialTrafficRing::instance().record(SerialTrafficRing::Received, chunk, qint64(got));

        bool overflow = false;
        {
            std::lock_guard<std::mutex> lock(d->receiveLock);
            const qint64 count = d->receiveCount.load();
            const qint64 room = kReceiveBufferSize - count;
            qint64 keep = qint64(got);
            if (keep > room) {
                overflow = true;
                keep = room;
            }
            if (keep > 0) {
                char *buffer = d->receiveBuffer.get();
                if (d->receiveHead + count + keep > kReceiveBufferSize) {
                    std::memmove(buffer, buffer + d->receiveHead, size_t(count));
                    d->receiveHead = 0;
                }
                std::memcpy(buffer + d->receiveHead + count, chunk, size_t(keep));
                d->receiveCount.store(count + keep);
            }
        }
        if (overflow)
            qDebug("Serial buffer overflow");
        QMetaObject::invokeMethod(
            this, [this] { emit readyRead(); }, Qt::QueuedConnection);
    }
}

void AbstractSerialPort::writerLoop()
{
    PortDriver *driver = d->driver.get();
    std::vector<char> local;
    std::unique_lock<std::mutex> lock(d->transmitLock);
    for (;;) {
        if (d->stopRequested.load())
            break;
        local.swap(d->transmitQueue);
        d->transmitting = !local.empty();
        lock.unlock();

        bool failed = false;
        size_t offset = 0;
        while (offset < local.size() && !failed && !d->stopRequested.load()) {
            const int bytes = int(std::min<size_t>(local.size() - offset, INT_MAX));
            quint64 written = 0;
            failed = !driver->write(local.data() + offset, bytes, &written);
            const size_t sent = size_t(std::min<quint64>(written, quint64(bytes)));
            SerialTrafficRing::instance().record(SerialTrafficRing::Sent, local.data() + offset, qint64(sent));
            offset += sent;
            if (sent > 0) {
                d->unsent -= qint64(sent);
                // Those waiting for an answer count from here: the bytes have left.
                QMetaObject::invokeMethod(
                    this, [this, sent] { emit bytesWritten(qint64(sent)); }, Qt::QueuedConnection);
            }
        }
        local.clear();

        lock.lock();
        d->transmitting = false;
        d->transmitDrained.notify_all();
        if (failed) {
            lock.unlock();
            postWorkerError(WriteError);
            return;
        }
        d->transmitCondition.wait(lock, [this] { return d->stopRequested.load() || !d->transmitQueue.empty(); });
    }
    d->transmitting = false;
    d->transmitDrained.notify_all();
}
