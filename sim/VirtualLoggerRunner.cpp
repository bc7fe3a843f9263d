#include "VirtualLoggerRunner.h"

#include "InProcessSerialDevice.h"
#include "InProcessTransport.h"
#include "PtyTransport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
constexpr int64_t kMs = 1000000;
// Upper bound of one wait, so that nothing depends on a missed wake-up.
constexpr int kMaxWaitMs = 50;
// A host that stops reading must not make the device hoard output without bound.
constexpr int kMaxUnsent = 256 * 1024;
// The nice value of the device thread where allowed (raising it needs privileges).
constexpr int kDevicePriority = -10;
}  // namespace

int64_t VirtualLoggerRunner::monotonicNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

VirtualLoggerRunner::VirtualLoggerRunner(const VirtualLoggerConfig &config)
    : m_device(std::make_unique<VirtualLogger>(config, monotonicNs())), m_toDevice([&] {
          LineFaultConfig f = config.faults;
          f.seed = config.faults.seed * 2u + 1u;
          return f;
      }()),
      m_toHost(config.faults), m_wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

VirtualLoggerRunner::~VirtualLoggerRunner()
{
    stop();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_transport.reset();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

bool VirtualLoggerRunner::startPty(const QString &linkPath, QString *error)
{
    if (isRunning()) {
        if (error)
            *error = QStringLiteral("already running");
        return false;
    }
    auto pty = std::make_unique<PtyTransport>(linkPath);
    if (!pty->open(error))
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_transport = std::move(pty);
    }
    return startThread();
}

InProcessSerialDevice *VirtualLoggerRunner::startInProcess(QObject *parent)
{
    if (isRunning())
        return nullptr;
    auto transport = std::make_unique<InProcessTransport>();
    InProcessSerialDevice *host = transport->createHostDevice(parent);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_transport = std::move(transport);
    }
    startThread();
    return host;
}

bool VirtualLoggerRunner::startThread()
{
    m_stop = false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void VirtualLoggerRunner::stop()
{
    if (!m_thread.joinable())
        return;
    m_stop = true;
    wake();
    m_thread.join();
}

void VirtualLoggerRunner::wake()
{
    const uint64_t one = 1;
    if (m_wakeFd >= 0)
        (void)!::write(m_wakeFd, &one, sizeof one);
}

QString VirtualLoggerRunner::portName() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transport ? m_transport->portName() : QString();
}

QString VirtualLoggerRunner::ptyPath() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto *pty = dynamic_cast<PtyTransport *>(m_transport.get());
    return pty ? pty->slavePath() : QString();
}

void VirtualLoggerRunner::unplug()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_transport)
            m_transport->unplug();
        m_toDevice.clear();
        m_toHost.clear();
        m_unsent.clear();
    }
    wake();
}

bool VirtualLoggerRunner::replug(QString *error)
{
    bool ok = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ok = m_transport && m_transport->replug(error);
    }
    wake();
    return ok;
}

void VirtualLoggerRunner::restartDevice()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_device->restart(monotonicNs());
    }
    wake();
}

void VirtualLoggerRunner::setFaults(const LineFaultConfig &faults)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    LineFaultConfig toDevice = faults;
    toDevice.seed = faults.seed * 2u + 1u;
    m_toDevice.setConfig(toDevice);
    m_toHost.setConfig(faults);
}

LineFaultConfig VirtualLoggerRunner::faults() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_toHost.config();
}

uint64_t VirtualLoggerRunner::droppedBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_toDevice.droppedBytes() + m_toHost.droppedBytes();
}

uint64_t VirtualLoggerRunner::corruptedBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_toDevice.corruptedBytes() + m_toHost.corruptedBytes();
}

uint64_t VirtualLoggerRunner::bytesCarriedToHost() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_toHost.deliveredBytes();
}

void VirtualLoggerRunner::withDevice(const std::function<void(VirtualLogger &)> &f)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        f(*m_device);
    }
    wake();  // whatever f changed may move the next event
}

uint64_t VirtualLoggerRunner::requestCount(uint16_t packetType) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_device->requestCount(packetType);
}

VirtualLogger::Mode VirtualLoggerRunner::mode() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_device->mode();
}

double VirtualLoggerRunner::magnetRevolutions() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_device->advance(monotonicNs());
    return m_device->magnet().revolutions();
}

bool VirtualLoggerRunner::writeGroundTruth(const QString &dir, QString *error) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_device->writeGroundTruth(dir, monotonicNs(), error);
}

void VirtualLoggerRunner::pumpLocked(int64_t now)
{
    if (!m_transport)
        return;
    const int bits = m_device->mode() == VirtualLogger::Mode::Bootloader ? 11 : 10;
    if (m_transport->auxFd() >= 0)
        m_transport->handleAuxEvents();
    if (m_transport->isPlugged()) {
        const QByteArray fromHost = m_transport->readFromHost();
        if (!fromHost.isEmpty())
            m_toDevice.push(fromHost, now, bits);
    }
    m_device->receive(m_toDevice.takeDue(now), now);
    m_device->advance(now);
    const QByteArray out = m_device->takeOutput();
    if (!m_transport->isPlugged() || !m_transport->hostAttached()) {
        // Nobody on the other end: what the device sends is gone.
        m_toHost.clear();
        m_unsent.clear();
        return;
    }
    if (!out.isEmpty())
        m_toHost.push(out, now, bits);
    m_unsent.append(m_toHost.takeDue(now));
    if (!m_unsent.isEmpty()) {
        const qint64 written = m_transport->writeToHost(m_unsent.constData(), m_unsent.size());
        m_unsent.remove(0, int(std::max<qint64>(written, 0)));
        if (m_unsent.size() > kMaxUnsent)
            m_unsent.remove(0, m_unsent.size() - kMaxUnsent);
    }
}

void VirtualLoggerRunner::run()
{
#ifdef __linux__
    // A logger has a processor of its own: a busy host never delays its answers. Where the
    // system allows it, the device's thread runs ahead of the host's programs (best effort).
    ::setpriority(PRIO_PROCESS, id_t(::syscall(SYS_gettid)), kDevicePriority);
#endif
    while (!m_stop) {
        pollfd fds[3];
        int count = 0;
        int timeoutMs = kMaxWaitMs;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const int64_t now = monotonicNs();
            pumpLocked(now);
            fds[count++] = {m_wakeFd, POLLIN, 0};
            if (m_transport && m_transport->pollFd() >= 0) {
                short events = POLLIN;
                if (!m_unsent.isEmpty())
                    events |= POLLOUT;
                fds[count++] = {m_transport->pollFd(), events, 0};
            }
            if (m_transport && m_transport->auxFd() >= 0)
                fds[count++] = {m_transport->auxFd(), POLLIN, 0};
            // Sleep until the earliest of: the device's next event, the next byte due on
            // either side of the line (-1 means none).
            int64_t next = -1;
            for (int64_t t : {m_device->nextEventNs(), m_toDevice.nextDueNs(), m_toHost.nextDueNs()}) {
                if (t >= 0 && (next < 0 || t < next))
                    next = t;
            }
            if (next >= 0)
                timeoutMs = int(std::clamp<int64_t>((next - now + kMs - 1) / kMs, 0, kMaxWaitMs));
        }
        const int r = ::poll(fds, nfds_t(count), timeoutMs);
        if (r > 0 && (fds[0].revents & POLLIN)) {
            uint64_t value = 0;
            (void)!::read(m_wakeFd, &value, sizeof value);
        }
        if (r > 0 && count > 1 && (fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & POLLIN)) {
            // A master without any slave open hangs up; we keep our own slave open, so this
            // is transient. Do not spin on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}
