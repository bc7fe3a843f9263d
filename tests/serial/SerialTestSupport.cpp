#include "SerialTestSupport.h"

#include <mutex>

namespace {
std::mutex g_logMutex;
QStringList g_logLines;
QtMessageHandler g_previousHandler = nullptr;

void captureHandler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logLines << message;
}
}  // namespace

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

void spinFor(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
}

QByteArray pattern(int size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 2463534242u + quint32(seed) * 2654435761u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = char(x);
    }
    return data;
}

LogCapture::LogCapture()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logLines.clear();
    g_previousHandler = qInstallMessageHandler(&captureHandler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(g_previousHandler);
}

int LogCapture::count(const QString &line) const
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return int(g_logLines.count(line));
}

QStringList LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_logLines;
}
