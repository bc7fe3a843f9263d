#include "WindowsPortDriver.h"

#include "PlatformPortDriver.h"

#include <algorithm>
#include <cstring>

WindowsPortDriver::WindowsPortDriver()
{
    std::memset(&m_dcb, 0, sizeof m_dcb);
}

WindowsPortDriver::~WindowsPortDriver()
{
    close();
}

AbstractSerialPort::SerialPortError WindowsPortDriver::errorFromWin32(DWORD error)
{
    switch (error) {
    case 0:
        return AbstractSerialPort::NoError;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return AbstractSerialPort::DeviceNotFoundError;
    case ERROR_ACCESS_DENIED:
        return AbstractSerialPort::PermissionError;
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return AbstractSerialPort::OpenError;
    case ERROR_WRITE_FAULT:
        return AbstractSerialPort::WriteError;
    case ERROR_READ_FAULT:
        return AbstractSerialPort::ReadError;
    default:
        return AbstractSerialPort::UnknownError;
    }
}

void WindowsPortDriver::recordLastError()
{
    m_lastError.store(errorFromWin32(GetLastError()));
}

AbstractSerialPort::SerialPortError WindowsPortDriver::lastErrorCode() const
{
    return m_lastError.load();
}

bool WindowsPortDriver::open(const QString &portName)
{
    close();
    const QByteArray path = QByteArray("\\\\.\\") + portName.toLocal8Bit();
    HANDLE handle = CreateFileA(path.constData(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        recordLastError();
        return false;
    }

    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    if (!SetCommState(handle, &dcb)) {
        recordLastError();
        CloseHandle(handle);
        return false;
    }
    m_dcb = dcb;

    // Reads return at once with whatever has arrived, but when nothing has, wait for the
    // first byte up to kReadWaitMs (MAXDWORD / MAXDWORD / constant is the documented
    // combination for that). Reads that returned at once even on a quiet line made the
    // reader thread spin and burn a whole core for as long as the port was open.
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = kReadWaitMs;
    SetCommTimeouts(handle, &timeouts);

    m_handle.store(handle);
    m_lastError.store(AbstractSerialPort::NoError);
    return true;
}

bool WindowsPortDriver::close()
{
    HANDLE handle = m_handle.exchange(INVALID_HANDLE_VALUE);
    if (handle == INVALID_HANDLE_VALUE)
        return true;
    return CloseHandle(handle) != FALSE;
}

bool WindowsPortDriver::setBaudRate(int baud, AbstractSerialPort::Directions directions)
{
    Q_UNUSED(directions);
    if (m_dcb.BaudRate == DWORD(baud))
        return true;
    DCB dcb = m_dcb;
    dcb.BaudRate = DWORD(baud);
    if (!SetCommState(m_handle.load(), &dcb)) {
        recordLastError();
        return false;
    }
    m_dcb = dcb;
    return true;
}

bool WindowsPortDriver::setParity(AbstractSerialPort::Parity parity)
{
    BYTE code;
    switch (parity) {
    case AbstractSerialPort::NoParity:
        code = NOPARITY;
        break;
    case AbstractSerialPort::OddParity:
        code = ODDPARITY;
        break;
    case AbstractSerialPort::EvenParity:
        code = EVENPARITY;
        break;
    case AbstractSerialPort::MarkParity:
        code = MARKPARITY;
        break;
    case AbstractSerialPort::SpaceParity:
        code = SPACEPARITY;
        break;
    default:
        code = 255;
        break;
    }
    m_dcb.Parity = code;
    return SetCommState(m_handle.load(), &m_dcb) != FALSE;
}

bool WindowsPortDriver::setRequestToSend(bool on)
{
    return EscapeCommFunction(m_handle.load(), on ? SETRTS : CLRRTS) != FALSE;
}

bool WindowsPortDriver::read(void *buffer, int maxBytes, quint64 *bytesRead)
{
    DWORD got = 0;
    const BOOL ok = ReadFile(m_handle.load(), buffer, DWORD(maxBytes), &got, nullptr);
    *bytesRead = got;
    if (!ok)
        recordLastError();
    return ok != FALSE;
}

bool WindowsPortDriver::write(const void *data, int bytes, quint64 *bytesWritten)
{
    // A synchronous write cannot be interrupted: hand over about 100 ms of line time per
    // call, so that close(), which waits for the writer, never waits for a long queue to
    // drain at the line rate. The writer calls again for the rest at once.
    const int slice = std::max(64, int(m_dcb.BaudRate / 100));
    DWORD written = 0;
    const BOOL ok = WriteFile(m_handle.load(), data, DWORD(std::min(bytes, slice)), &written, nullptr);
    *bytesWritten = written;
    if (!ok)
        recordLastError();
    return ok != FALSE;
}

bool WindowsPortDriver::flush()
{
    return FlushFileBuffers(m_handle.load()) != FALSE;
}

std::unique_ptr<AbstractSerialPort::PortDriverFactory> makePlatformPortDriverFactory()
{
    return std::make_unique<AbstractSerialPort::TemplatedPortDriverFactory<WindowsPortDriver>>();
}
