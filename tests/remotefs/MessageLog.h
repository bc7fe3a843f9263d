#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>

// Collects the Qt log lines written while it exists.
class MessageLog {
public:
    MessageLog();
    ~MessageLog();
    QStringList lines() const;
    bool contains(const QString &text) const;

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &message);
    QtMessageHandler m_previous;
};
