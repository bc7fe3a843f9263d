#include "LogSignaller.h"

LogSignaller::LogSignaller(QObject *parent) : QObject(parent) {}

void LogSignaller::logMessageSlot(QtMsgType severity, QString message)
{
    if (m_backlog.size() >= kBacklogLines)
        m_backlog.removeFirst();
    m_backlog.append(message);
    emit logMessage(severity, message);
}
