#include "LogSignaller.h"

LogSignaller::LogSignaller(QObject *parent) : QObject(parent) {}

void LogSignaller::logMessageSlot(QtMsgType severity, QString message)
{
    emit logMessage(severity, message);
}
