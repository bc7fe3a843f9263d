#pragma once

#include "TarrowindLogger.h"

#include <QObject>
#include <QPointer>

class SerialComm;

// The line settings each operating mode needs, bound the way the user interface binds them:
// 115200 baud; no parity while the logger is assumed to run its firmware and even parity while
// it is assumed to run the bootloader; RTS asserted while the bootloader is the target (the
// adapter's RTS line holds the logger's boot pin). For the command-line tool and the tests,
// which have no user interface; construct it before the factory is given to the logger (or
// use connectLogger) so the first open already has the right settings.
class LoggerLineBinding : public QObject
{
    Q_OBJECT
public:
    static constexpr int kBaud = 115200;

    LoggerLineBinding(SerialComm *comm, TarrowindLogger *logger, QObject *parent = nullptr);

    // Binds the settings and then makes the SerialComm the logger's device factory.
    static LoggerLineBinding *connectLogger(SerialComm *comm, TarrowindLogger *logger, QObject *parent = nullptr);

    // The settings for a pair of modes, as pure functions for reuse and tests.
    static int parityFor(TarrowindLogger::OperatingMode current);
    static bool rtsFor(TarrowindLogger::OperatingMode target);

private:
    void apply();

    QPointer<SerialComm> m_comm;
    QPointer<TarrowindLogger> m_logger;
};
