#pragma once

#include "AbstractSerialPort.h"

#include <atomic>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// The serial port driver on the Win32 communications API: 8 data bits, one stop bit, no
// flow control; baud rate, parity and RTS are applied. Reads wait for the first byte up to a
// bounded time-out, so an idle port's reader sleeps instead of spinning.
class WindowsPortDriver : public AbstractSerialPort::PortDriver
{
public:
    // How long one read waits for a first byte before it returns empty. Bounds how long
    // close() waits for the reader; short enough to be unnoticeable, long enough that an
    // idle reader costs nothing.
    static constexpr DWORD kReadWaitMs = 50;

    WindowsPortDriver();
    ~WindowsPortDriver() override;

    WindowsPortDriver(const WindowsPortDriver &) = delete;
    WindowsPortDriver &operator=(const WindowsPortDriver &) = delete;

    bool open(const QString &portName) override;
    bool close() override;
    bool setBaudRate(int baud, AbstractSerialPort::Directions directions) override;
    bool setParity(AbstractSerialPort::Parity parity) override;
    bool setRequestToSend(bool on) override;
    bool read(void *buffer, int maxBytes, quint64 *bytesRead) override;
    bool write(const void *data, int bytes, quint64 *bytesWritten) override;
    bool flush() override;
    AbstractSerialPort::SerialPortError lastErrorCode() const override;

    static AbstractSerialPort::SerialPortError errorFromWin32(DWORD error);

private:
    void recordLastError();

    std::atomic<HANDLE> m_handle{INVALID_HANDLE_VALUE};
    std::atomic<AbstractSerialPort::SerialPortError> m_lastError{AbstractSerialPort::NoError};
    DCB m_dcb;
};
