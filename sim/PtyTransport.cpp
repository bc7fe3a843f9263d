#include "PtyTransport.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

namespace {
QString errnoText(const char *what)
{
    return QStringLiteral("%1: %2").arg(QString::fromLatin1(what), QString::fromLocal8Bit(strerror(errno)));
}
}  // namespace

PtyTransport::PtyTransport(const QString &linkPath) : m_linkPath(linkPath) {}

PtyTransport::~PtyTransport()
{
    closeAll();
    if (!m_linkPath.isEmpty())
        QFile::remove(m_linkPath);
}

bool PtyTransport::open(QString *error)
{
    closeAll();
    QString message;
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_master < 0)
        message = errnoText("posix_openpt");
    else if (grantpt(m_master) != 0)
        message = errnoText("grantpt");
    else if (unlockpt(m_master) != 0)
        message = errnoText("unlockpt");
    if (message.isEmpty()) {
        char name[128] = {};
        if (ptsname_r(m_master, name, sizeof name) != 0) {
            message = errnoText("ptsname_r");
        } else {
            m_slavePath = QString::fromLocal8Bit(name);
            // Raw 8-bit line from the start: with echo or line editing on, the device's own
            // announcements would come back to it as input before any host configures the port.
            termios tio{};
            if (tcgetattr(m_master, &tio) == 0) {
                cfmakeraw(&tio);
                cfsetispeed(&tio, B115200);
                cfsetospeed(&tio, B115200);
                tcsetattr(m_master, TCSANOW, &tio);
            }
            m_ownSlave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (m_ownSlave < 0)
                message = errnoText("open slave");
        }
    }
    if (message.isEmpty()) {
        // Opened after our own descriptor, so only host programs are counted.
        m_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_inotify < 0 ||
            inotify_add_watch(m_inotify, m_slavePath.toLocal8Bit().constData(), IN_OPEN | IN_CLOSE) < 0)
            message = errnoText("inotify");
    }
    if (message.isEmpty())
        placeLink(&message);
    if (!message.isEmpty()) {
        closeAll();
        if (error)
            *error = message;
        return false;
    }
    m_hostOpenCount = 0;
    return true;
}

bool PtyTransport::placeLink(QString *error)
{
    if (m_linkPath.isEmpty())
        return true;
    // Re-pointed atomically: a host retrying its open never sees the link missing.
    const QByteArray tmp = (m_linkPath + QStringLiteral(".tmp%1").arg(getpid())).toLocal8Bit();
    ::unlink(tmp.constData());
    if (::symlink(m_slavePath.toLocal8Bit().constData(), tmp.constData()) != 0 ||
        ::rename(tmp.constData(), m_linkPath.toLocal8Bit().constData()) != 0) {
        if (error)
            *error = errnoText("symlink");
        ::unlink(tmp.constData());
        return false;
    }
    return true;
}

void PtyTransport::closeAll()
{
    for (int *fd : {&m_inotify, &m_ownSlave, &m_master}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_slavePath.clear();
    m_hostOpenCount = 0;
}

void PtyTransport::handleAuxEvents()
{
    if (m_inotify < 0)
        return;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_inotify, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t pos = 0; pos + ssize_t(sizeof(inotify_event)) <= n;) {
            inotify_event event;
            std::memcpy(&event, buffer + pos, sizeof event);
            if (event.mask & IN_OPEN)
                ++m_hostOpenCount;
            if (event.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                m_hostOpenCount = m_hostOpenCount > 0 ? m_hostOpenCount - 1 : 0;
                // What the last host left unread must not greet the next one.
                if (m_hostOpenCount == 0 && m_ownSlave >= 0)
                    tcflush(m_ownSlave, TCIFLUSH);
            }
            pos += ssize_t(sizeof(inotify_event)) + event.len;
        }
    }
}

QByteArray PtyTransport::readFromHost()
{
    QByteArray out;
    if (m_master < 0)
        return out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    return out;
}

qint64 PtyTransport::writeToHost(const char *data, qint64 size)
{
    if (m_master < 0)
        return 0;
    if (m_hostOpenCount <= 0)
        return size;  // nobody listening: the bytes are gone
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_master, data + done, size_t(size - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    return done;
}

void PtyTransport::unplug()
{
    closeAll();
}

bool PtyTransport::replug(QString *error)
{
    if (isPlugged())
        return true;
    return open(error);
}

QString PtyTransport::portName() const
{
    return m_linkPath.isEmpty() ? m_slavePath : m_linkPath;
}
