#pragma once

#include "AbstractSerialPort.h"

#include <atomic>
#include <mutex>

#include <termios.h>

// The serial port driver for Linux and other POSIX systems: raw 8-bit termios, exclusive
// access (TIOCEXCL plus an advisory flock, since TIOCEXCL does not stop root), and waits in
// poll() on the port together with an eventfd so that the worker threads never spin and
// interrupt()/close() wake them at once. A pseudo-terminal accepts neither parity nor modem
// lines; there those requests succeed as no-ops so the whole stack runs on a pty.
class PosixPortDriver : public AbstractSerialPort::PortDriver
{
public:
    PosixPortDriver();
    ~PosixPortDriver() override;

    PosixPortDriver(const PosixPortDriver &) = delete;
    PosixPortDriver &operator=(const PosixPortDriver &) = delete;

    bool open(const QString &portName) override;
    bool close() override;
    bool setBaudRate(int baud, AbstractSerialPort::Directions directions) override;
    bool setParity(AbstractSerialPort::Parity parity) override;
    bool setRequestToSend(bool on) override;
    bool read(void *buffer, int maxBytes, quint64 *bytesRead) override;
    bool write(const void *data, int bytes, quint64 *bytesWritten) override;
    qint64 inputWaiting() const override;
    bool flush() override;
    AbstractSerialPort::SerialPortError lastErrorCode() const override;
    void interrupt() override;

    // "COM7"-style names without a slash live in /dev; paths are used as given.
    static QString devicePath(const QString &portName);
    // The errno of a failed open() mapped to the port's error codes.
    static AbstractSerialPort::SerialPortError errorFromErrno(int error);
    // The termios speed constant for a baud rate, or 0 when the platform has none.
    static speed_t speedConstant(int baud);

    bool isPseudoTerminal() const { return m_isPty; }

private:
    void setLastError(AbstractSerialPort::SerialPortError error);
    void requestLowLatency(const QByteArray &path);
    bool applyTermios(const termios &wanted);

    std::atomic<int> m_fd{-1};
    int m_wakeFd = -1;       // polled by the workers
    int m_wakeWriteFd = -1;  // written by interrupt(); the same eventfd on Linux
    bool m_isPty = false;
    int m_baud = 0;
    termios m_termios{};
    std::atomic<AbstractSerialPort::SerialPortError> m_lastError{AbstractSerialPort::NoError};
    // Held by the worker threads while they use the descriptor, so close() never pulls it
    // away from under a poll() or read().
    std::mutex m_readLock;
    std::mutex m_writeLock;
};
