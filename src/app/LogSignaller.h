#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Carries every formatted log line to the user interface thread (the log pane), and keeps the
// last lines there so that a pane opened later shows what came before it.
class LogSignaller : public QObject
{
    Q_OBJECT
public:
    static constexpr int kBacklogLines = 2000;

    explicit LogSignaller(QObject *parent = nullptr);

    // The kept lines, oldest first; at most kBacklogLines.
    Q_INVOKABLE QStringList backlog() const { return m_backlog; }
    Q_INVOKABLE void clearBacklog() { m_backlog.clear(); }

signals:
    void logMessage(QtMsgType severity, QString message);

public slots:
    void logMessageSlot(QtMsgType severity, QString message);

private:
    QStringList m_backlog;
};
