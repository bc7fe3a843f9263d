#pragma once

#include <QObject>
#include <QString>
#include <QtGlobal>

// Carries every formatted log line to the user interface thread (the log pane).
class LogSignaller : public QObject
{
    Q_OBJECT
public:
    explicit LogSignaller(QObject *parent = nullptr);

signals:
    void logMessage(QtMsgType severity, QString message);

public slots:
    void logMessageSlot(QtMsgType severity, QString message);
};
