#include "PosixPortDriver.h"

#include "PlatformPortDriver.h"

#include <QDebug>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#include <sys/eventfd.h>
#include <sys/sysmacros.h>
#endif

namespace {

using SPE = AbstractSerialPort::SerialPortError;

// Unix98 pseudo-terminal slaves.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

std::atomic<bool> g_lowLatencyFailureLogged{false};

void closeQuietly(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

// A pseudo-terminal (the virtual logger's line) has no latency setting to ask for.
bool isPtySlave(int fd)
{
#ifdef __linux__
    struct stat st {
    };
    if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
        const unsigned maj = major(st.st_rdev);
        return maj >= kPtySlaveMajorFirst && maj <= kPtySlaveMajorLast;
    }
    return false;
#else
    if (const char *name = ttyname(fd))
        return std::strncmp(name, "/dev/pts/", 9) == 0 || std::strncmp(name, "/dev/ttys", 9) == 0;
    return false;
#endif
}

// Raw 8N1 at 115200 without flow control; `tio` receives the settings the line took.
// Returns 0, or the errno of the call that failed.
int setRawLine(int fd, termios *tio)
{
    if (::tcgetattr(fd, tio) != 0)
        return errno;
    ::cfmakeraw(tio);
    tio->c_cflag |= CLOCAL | CREAD;
    tio->c_cflag &= ~(CSTOPB | CRTSCTS | PARENB | PARODD);
#ifdef CMSPAR
    tio->c_cflag &= ~CMSPAR;
#endif
    tio->c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
    ::cfsetispeed(tio, B115200);
    ::cfsetospeed(tio, B115200);
    if (::tcsetattr(fd, TCSANOW, tio) != 0)
        return errno;
    ::tcgetattr(fd, tio);
    return 0;
}

// The descriptors that wake the reader's poll: one eventfd, or the two ends of a pipe.
// Returns 0, or the errno of the failed call.
int openWakeDescriptors(int *readFd, int *writeFd)
{
#ifdef __linux__
    const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    *readFd = wake;
    *writeFd = wake;
#else
    int pipeFds[2] = {-1, -1};
    const int wake = ::pipe(pipeFds) == 0 ? pipeFds[0] : -1;
    *readFd = wake;
    *writeFd = pipeFds[1];
#endif
    return wake < 0 ? errno : 0;
}

}  // namespace

PosixPortDriver::PosixPortDriver() = default;

PosixPortDriver::~PosixPortDriver()
{
    close();
}

QString PosixPortDriver::devicePath(const QString &portName)
{
    if (portName.contains(QLatin1Char('/')))
        return portName;
    return QStringLiteral("/dev/") + portName;
}

AbstractSerialPort::SerialPortError PosixPortDriver::errorFromErrno(int error)
{
    switch (error) {
    case 0:
        return AbstractSerialPort::NoError;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case EISDIR:
        return AbstractSerialPort::DeviceNotFoundError;
    case EACCES:
    case EPERM:
        return AbstractSerialPort::PermissionError;
    case EBUSY:
    case EMFILE:
    case ENFILE:
    case ENOTTY:
        return AbstractSerialPort::OpenError;
    case EIO:
        return AbstractSerialPort::ReadError;
    default:
        return AbstractSerialPort::UnknownError;
    }
}

speed_t PosixPortDriver::speedConstant(int baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
#ifdef B460800
    case 460800:
        return B460800;
#endif
#ifdef B500000
    case 500000:
        return B500000;
#endif
#ifdef B576000
    case 576000:
        return B576000;
#endif
#ifdef B921600
    case 921600:
        return B921600;
#endif
#ifdef B1000000
    case 1000000:
        return B1000000;
#endif
#ifdef B1500000
    case 1500000:
        return B1500000;
#endif
#ifdef B2000000
    case 2000000:
        return B2000000;
#endif
#ifdef B3000000
    case 3000000:
        return B3000000;
#endif
    default:
        return 0;
    }
}

void PosixPortDriver::setLastError(AbstractSerialPort::SerialPortError error)
{
    m_lastError.store(error);
}

AbstractSerialPort::SerialPortError PosixPortDriver::lastErrorCode() const
{
    return m_lastError.load();
}

bool PosixPortDriver::open(const QString &portName)
{
    close();

    if (portName.isEmpty()) {
        setLastError(AbstractSerialPort::DeviceNotFoundError);
        return false;
    }
    const QByteArray path = QFile::encodeName(devicePath(portName));
    int fd;
    do {
        fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // TIOCEXCL held by someone else: the port is in use.
        setLastError(errno == EBUSY ? AbstractSerialPort::PermissionError : errorFromErrno(errno));
        return false;
    }

    auto fail = [&](SPE error) {
        ::close(fd);
        setLastError(error);
        return false;
    };

    if (!isatty(fd))
        return fail(AbstractSerialPort::OpenError);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(errno == EWOULDBLOCK ? AbstractSerialPort::PermissionError : errorFromErrno(errno));
    if (::ioctl(fd, TIOCEXCL) != 0)
        return fail(errorFromErrno(errno));

    m_isPty = isPtySlave(fd);

    termios tio{};
    if (const int err = setRawLine(fd, &tio)) {
        ::ioctl(fd, TIOCNXCL);
        return fail(errorFromErrno(err));
    }

    int wake = -1, wakeWrite = -1;
    if (const int err = openWakeDescriptors(&wake, &wakeWrite)) {
        ::ioctl(fd, TIOCNXCL);
        return fail(err == EMFILE || err == ENFILE ? AbstractSerialPort::ResourceError
                                                   : AbstractSerialPort::UnknownError);
    }

    m_wakeFd = wake;
    m_wakeWriteFd = wakeWrite;
    m_termios = tio;
    m_baud = 115200;
    m_fd.store(fd);

    // Opening a tty raises the modem lines; the line starts with DTR and RTS released.
    const int lines = TIOCM_RTS | TIOCM_DTR;
    ::ioctl(fd, TIOCMBIC, &lines);

    if (!m_isPty)
        requestLowLatency(path);

    setLastError(AbstractSerialPort::NoError);
    return true;
}

void PosixPortDriver::requestLowLatency(const QByteArray &path)
{
#ifdef __linux__
    char resolved[PATH_MAX];
    if (!::realpath(path.constData(), resolved))
        return;
    const QByteArray base = QFileInfo(QFile::decodeName(resolved)).fileName().toLocal8Bit();
    const QString driverLink = QStringLiteral("/sys/class/tty/%1/device/driver").arg(QString::fromLocal8Bit(base));
    const QString driverName = QFileInfo(QFileInfo(driverLink).symLinkTarget()).fileName();
    if (driverName != QLatin1String("ftdi_sio"))
        return;

    const int fd = m_fd.load();
    serial_struct serial{};
    bool ok = ::ioctl(fd, TIOCGSERIAL, &serial) == 0;
    if (ok && !(serial.flags & ASYNC_LOW_LATENCY)) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ok = ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
    }
    if (!ok && !g_lowLatencyFailureLogged.exchange(true))
        qDebug().noquote() << "Unable to set low latency on" << QString::fromLocal8Bit(path) << ":"
                           << QString::fromLocal8Bit(std::strerror(errno));
#else
    Q_UNUSED(path);
#endif
}

void PosixPortDriver::interrupt()
{
    if (m_wakeWriteFd < 0)
        return;
    // An eventfd takes 8 bytes; the pipe of other systems takes them too.
    const uint64_t one = 1;
    const ssize_t n = ::write(m_wakeWriteFd, &one, sizeof one);
    Q_UNUSED(n);
}

bool PosixPortDriver::close()
{
    const int fd = m_fd.load();
    if (fd < 0)
        return true;
    interrupt();
    // The wake-up makes every poll() return at once; wait for the workers to leave the
    // descriptor before it is released (its number could be reused at once).
    std::lock_guard<std::mutex> readLock(m_readLock);
    std::lock_guard<std::mutex> writeLock(m_writeLock);
    m_fd.store(-1);
    // TIOCEXCL outlives this descriptor on a pty whose master stays open.
    ::ioctl(fd, TIOCNXCL);
    const bool ok = ::close(fd) == 0;
    if (m_wakeWriteFd != m_wakeFd)
        closeQuietly(m_wakeWriteFd);
    closeQuietly(m_wakeFd);
    m_wakeFd = -1;
    m_wakeWriteFd = -1;
    return ok;
}

bool PosixPortDriver::applyTermios(const termios &wanted)
{
    const int fd = m_fd.load();
    if (::tcsetattr(fd, TCSANOW, &wanted) != 0)
        return false;
    // tcsetattr succeeds when any one of the changes applied: read back what stuck.
    termios actual{};
    if (::tcgetattr(fd, &actual) != 0)
        return false;
    m_termios = actual;
    return true;
}

bool PosixPortDriver::setBaudRate(int baud, AbstractSerialPort::Directions directions)
{
    Q_UNUSED(directions);
    const int fd = m_fd.load();
    if (fd < 0) {
        setLastError(AbstractSerialPort::NotOpenError);
        return false;
    }
    if (baud == m_baud)
        return true;
    const speed_t speed = speedConstant(baud);
    if (speed == 0) {
        qWarning().noquote() << "Unsupported baud rate" << baud;
        setLastError(AbstractSerialPort::UnsupportedOperationError);
        return false;
    }
    termios wanted = m_termios;
    ::cfsetispeed(&wanted, speed);
    ::cfsetospeed(&wanted, speed);
    if (!applyTermios(wanted)) {
        setLastError(errno == EINVAL ? AbstractSerialPort::UnsupportedOperationError : errorFromErrno(errno));
        return false;
    }
    if (::cfgetospeed(&m_termios) != speed) {
        qWarning().noquote() << "Baud rate" << baud << "refused by the device";
        setLastError(AbstractSerialPort::UnsupportedOperationError);
        return false;
    }
    m_baud = baud;
    return true;
}

bool PosixPortDriver::setParity(AbstractSerialPort::Parity parity)
{
    const int fd = m_fd.load();
    if (fd < 0)
        return false;
    tcflag_t bits = 0;
    tcflag_t mask = PARENB | PARODD;
#ifdef CMSPAR
    mask |= CMSPAR;
#endif
    switch (parity) {
    case AbstractSerialPort::NoParity:
        break;
    case AbstractSerialPort::EvenParity:
        bits = PARENB;
        break;
    case AbstractSerialPort::OddParity:
        bits = PARENB | PARODD;
        break;
#ifdef CMSPAR
    case AbstractSerialPort::MarkParity:
        bits = PARENB | PARODD | CMSPAR;
        break;
    case AbstractSerialPort::SpaceParity:
        bits = PARENB | CMSPAR;
        break;
#endif
    default:
        return false;
    }
    if (m_isPty)
        return true;  // the kernel pins a pty to 8 bits without parity
    termios wanted = m_termios;
    wanted.c_cflag = (wanted.c_cflag & ~mask) | bits;
    if (!applyTermios(wanted))
        return false;
    return (m_termios.c_cflag & mask) == bits;
}

bool PosixPortDriver::setRequestToSend(bool on)
{
    const int fd = m_fd.load();
    if (fd < 0)
        return false;
    const int line = TIOCM_RTS;
    if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0)
        return true;
    // A pty has no modem lines.
    return m_isPty && (errno == ENOTTY || errno == EINVAL);
}

bool PosixPortDriver::read(void *buffer, int maxBytes, quint64 *bytesRead)
{
    *bytesRead = 0;
    std::lock_guard<std::mutex> lock(m_readLock);
    const int fd = m_fd.load();
    if (fd < 0) {
        setLastError(AbstractSerialPort::NotOpenError);
        return false;
    }
    if (maxBytes <= 0)
        return true;

    // While bytes stream in, read straight away; sleep in poll() only when the line is quiet.
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size_t(maxBytes));
        if (n > 0) {
            *bytesRead = quint64(n);
            return true;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            // A read of 0 or EIO: the device hung up (unplugged, pty master closed).
            setLastError(AbstractSerialPort::ReadError);
            return false;
        }
        if (errno == EINTR)
            continue;

        pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR || errno == EAGAIN)
                return true;
            setLastError(AbstractSerialPort::ReadError);
            return false;
        }
        if (fds[1].revents)
            return true;  // interrupted: the caller checks why
        if (fds[0].revents & POLLIN)
            continue;  // bytes that arrived before a hang-up are still delivered
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            setLastError(AbstractSerialPort::ReadError);
            return false;
        }
    }
}

qint64 PosixPortDriver::inputWaiting() const
{
    const int fd = m_fd.load();
    int waiting = 0;
    return fd >= 0 && ::ioctl(fd, FIONREAD, &waiting) == 0 ? qint64(waiting) : 0;
}

bool PosixPortDriver::write(const void *data, int bytes, quint64 *bytesWritten)
{
    *bytesWritten = 0;
    std::lock_guard<std::mutex> lock(m_writeLock);
    const int fd = m_fd.load();
    if (fd < 0) {
        setLastError(AbstractSerialPort::NotOpenError);
        return false;
    }
    if (bytes <= 0)
        return true;
    for (;;) {
        const ssize_t n = ::write(fd, data, size_t(bytes));
        if (n >= 0) {
            *bytesWritten = quint64(n);
            return true;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            setLastError(AbstractSerialPort::WriteError);
            return false;
        }
        // The line is full: sleep until it drains or the port is being closed.
        pollfd fds[2] = {{fd, POLLOUT, 0}, {m_wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            setLastError(AbstractSerialPort::WriteError);
            return false;
        }
        if (fds[1].revents)
            return true;
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[0].revents & POLLOUT)) {
            setLastError(AbstractSerialPort::WriteError);
            return false;
        }
    }
}

bool PosixPortDriver::flush()
{
    const int fd = m_fd.load();
    if (fd < 0) {
        setLastError(AbstractSerialPort::NotOpenError);
        return false;
    }
    // tcdrain() could wait for ever on a pty whose other side stopped reading; bound the wait
    // to what a full kernel buffer needs at a slow rate.
    constexpr int kMaxWaitMs = 500;
    for (int waited = 0; waited <= kMaxWaitMs; ++waited) {
        int pending = 0;
        if (::ioctl(fd, TIOCOUTQ, &pending) != 0)
            return m_isPty;  // nothing more to ask
        if (pending <= 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    setLastError(AbstractSerialPort::TimeoutError);
    return false;
}

std::unique_ptr<AbstractSerialPort::PortDriverFactory> makePlatformPortDriverFactory()
{
    return std::make_unique<AbstractSerialPort::TemplatedPortDriverFactory<PosixPortDriver>>();
}
