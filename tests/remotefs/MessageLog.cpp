#include "MessageLog.h"

namespace {
QMutex g_mutex;
QStringList g_lines;
}  // namespace

MessageLog::MessageLog()
{
    QMutexLocker lock(&g_mutex);
    g_lines.clear();
    m_previous = qInstallMessageHandler(&MessageLog::handler);
}

MessageLog::~MessageLog()
{
    qInstallMessageHandler(m_previous);
}

QStringList MessageLog::lines() const
{
    QMutexLocker lock(&g_mutex);
    return g_lines;
}

bool MessageLog::contains(const QString &text) const
{
    for (const QString &l : lines()) {
        if (l.contains(text))
            return true;
    }
    return false;
}

void MessageLog::handler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    QMutexLocker lock(&g_mutex);
    g_lines << message;
}
