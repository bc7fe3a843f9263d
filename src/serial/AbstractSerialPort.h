#pragma once

// How the serial library reports failure (nothing here throws):
// - AbstractSerialPort as a QIODevice does: open(), the line settings and flush() return false,
//   error() holds the SerialPortError code and errorString() its text; failures found by the
//   worker threads (a lost line) arrive as errorOccurred() in the owner's thread.
// - SerialComm, the service the user interface binds, has no failing call: its ioDevice stays
//   null until a port is open, and the lastError / lastPortError texts say why it is not.

#include <QIODevice>
#include <QString>

#include <memory>

// A serial port as a QIODevice. Every open port owns a reader and a writer thread that move
// bytes between the operating system and an in-memory receive buffer / transmit queue, so
// the owner thread never blocks on the line. The operating-system side is a PortDriver made
// by the process-wide, ordered list of driver factories.
class AbstractSerialPort : public QIODevice
{
    Q_OBJECT
    Q_PROPERTY(QString portName READ portName WRITE setPortName NOTIFY portNameChanged)

public:
    enum Direction { Input = 1, Output = 2, AllDirections = Input | Output };
    Q_DECLARE_FLAGS(Directions, Direction)
    Q_FLAG(Directions)

    enum BaudRate {
        Baud1200 = 1200,
        Baud2400 = 2400,
        Baud4800 = 4800,
        Baud9600 = 9600,
        Baud19200 = 19200,
        Baud38400 = 38400,
        Baud57600 = 57600,
        Baud115200 = 115200,
        UnknownBaud = -1
    };
    Q_ENUM(BaudRate)

    enum DataBits { Data5 = 5, Data6 = 6, Data7 = 7, Data8 = 8, UnknownDataBits = -1 };
    Q_ENUM(DataBits)

    enum Parity { NoParity = 0, EvenParity = 2, OddParity = 3, SpaceParity = 4, MarkParity = 5, UnknownParity = -1 };
    Q_ENUM(Parity)

    enum StopBits { OneStop = 1, OneAndHalfStop = 3, TwoStop = 2, UnknownStopBits = -1 };
    Q_ENUM(StopBits)

    enum FlowControl { NoFlowControl = 0, HardwareControl = 1, SoftwareControl = 2, UnknownFlowControl = -1 };
    Q_ENUM(FlowControl)

    enum PinoutSignal {
        NoSignal = 0,
        TransmittedDataSignal = 1,
        ReceivedDataSignal = 2,
        DataTerminalReadySignal = 4,
        DataCarrierDetectSignal = 8,
        DataSetReadySignal = 16,
        RingIndicatorSignal = 32,
        RequestToSendSignal = 64,
        ClearToSendSignal = 128,
        SecondaryTransmittedDataSignal = 256,
        SecondaryReceivedDataSignal = 512
    };
    Q_DECLARE_FLAGS(PinoutSignals, PinoutSignal)
    Q_FLAG(PinoutSignals)

    enum SerialPortError {
        NoError = 0,
        DeviceNotFoundError = 1,
        PermissionError = 2,
        OpenError = 3,
        ParityError = 4,
        FramingError = 5,
        BreakConditionError = 6,
        WriteError = 7,
        ReadError = 8,
        ResourceError = 9,
        UnsupportedOperationError = 10,
        UnknownError = 11,
        TimeoutError = 12,
        NotOpenError = 13
    };
    Q_ENUM(SerialPortError)

    // The operating-system side of one open port. read() and write() are called from the
    // port's reader and writer threads; everything else from the owner thread.
    class PortDriver
    {
    public:
        virtual ~PortDriver();
        virtual bool open(const QString &portName) = 0;
        virtual bool close() = 0;
        virtual bool setBaudRate(int baud, Directions directions = AllDirections) = 0;
        virtual bool setParity(Parity parity) = 0;
        virtual bool setRequestToSend(bool on) = 0;
        virtual bool read(void *buffer, int maxBytes, quint64 *bytesRead) = 0;
        virtual bool write(const void *data, int bytes, quint64 *bytesWritten) = 0;
        // Bytes the operating system has received and the reader has not fetched yet; 0 when
        // unknown. Any thread.
        virtual qint64 inputWaiting() const { return 0; }
        virtual bool flush() = 0;
        virtual SerialPortError lastErrorCode() const = 0;
        // Makes read() and write() calls that are waiting for the line return at once
        // (reporting zero bytes), and every later one too, so that close() never waits for
        // the line. Called from the owner thread while the worker threads run.
        virtual void interrupt() {}
    };

    class PortDriverFactory
    {
    public:
        virtual ~PortDriverFactory();
        virtual std::unique_ptr<PortDriver> createDriver() = 0;
    };

    template <typename Driver> class TemplatedPortDriverFactory : public PortDriverFactory
    {
    public:
        std::unique_ptr<PortDriver> createDriver() override { return std::make_unique<Driver>(); }
    };

    static constexpr qint64 kReceiveBufferSize = 0x100000;
    static constexpr int kReadChunkSize = 2048;
    // The longest flush() waits for the writer thread to hand over what was written.
    static constexpr int kFlushWaitMs = 500;

    explicit AbstractSerialPort(QObject *parent = nullptr);
    explicit AbstractSerialPort(const QString &portName, QObject *parent = nullptr);
    ~AbstractSerialPort() override;

    // Appends to the process-wide factory list; open() tries the factories in this order.
    static void registerPortDriverFactory(std::unique_ptr<PortDriverFactory> factory);
    // Empties the factory list (process shutdown).
    static void clearPortDriverFactories();
    static int portDriverFactoryCount();

    // The text that goes with an error code as the QIODevice error string.
    static QString errorText(SerialPortError error);

    bool setBaudRate(int baud, Directions directions = AllDirections);
    bool setParity(Parity parity);
    bool setRequestToSend(bool on);
    bool flush();

    int baudRate() const;
    Parity parity() const;
    bool requestToSend() const;
    SerialPortError error() const;

    QString portName() const;
    void setPortName(const QString &portName);

    bool open(OpenMode mode) override;
    void close() override;
    qint64 bytesAvailable() const override;
    // Written and not yet handed to the operating system; bytesWritten() reports each handover
    // (queued from the writer thread).
    qint64 bytesToWrite() const override;
    // Received by the operating system and not yet in bytesAvailable(): on a busy host the
    // reader thread may fetch an answer long after it arrived.
    qint64 bytesWaitingInSystem() const;

signals:
    void portNameChanged(QString portName);
    void errorOccurred(AbstractSerialPort::SerialPortError error);

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    struct Private;

    void setError(SerialPortError error);
    void postWorkerError(SerialPortError error);
    void readerLoop();
    void writerLoop();

    std::unique_ptr<Private> d;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(AbstractSerialPort::Directions)
Q_DECLARE_OPERATORS_FOR_FLAGS(AbstractSerialPort::PinoutSignals)

// The name under which the port travels in QML and in signal signatures.
using MlSerialPort = AbstractSerialPort;
