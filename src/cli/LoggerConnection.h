#pragma once

#include "network/TarrowindFirmware.h"
#include "RequestOutcomes.h"

#include <functional>
#include <memory>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

class LoggerLineBinding;
class SerialComm;
class TarrowindLogger;

// A logger on a serial port, reached the way the user interface reaches it: a SerialComm
// as the device factory of a TarrowindLogger, with the line settings bound by
// LoggerLineBinding. open() waits until the firmware client is Ready and otherwise says why
// not (the port cannot be opened, nothing answered, the logger stopped half way).
//
// While an instance lives, debug, info and warning messages are kept off the terminal: every
// reply is logged, which would drown the command's output, and the failures the protocol
// warns about (an expired request, a lost line) end the command with its own one-line error.
// Critical messages still reach stderr. The messages remain visible to a log observer, which
// is how a command learns the error code of a result the client only logs.
class LoggerConnection
{
public:
    static constexpr int kDefaultTimeoutMs = 15000;

    struct Options {
        QString port;
        int timeoutMs = kDefaultTimeoutMs;
    };
    // "--port PORT" and "--timeout S", the options of every command that reaches a logger.
    static QList<QCommandLineOption> commandLineOptions();
    // Reads them from a command's parse. False with a message when the port is missing or the
    // timeout is not a number of seconds above 0.
    static bool readOptions(const QCommandLineParser &args, Options *options, QString *error);

    LoggerConnection();
    ~LoggerConnection();
    LoggerConnection(const LoggerConnection &) = delete;
    LoggerConnection &operator=(const LoggerConnection &) = delete;

    // Sets the objects up and starts opening `port`; the controller aims at the firmware.
    // The port opens once the event loop runs, so the caller may still change the target
    // mode first. Call once.
    void attach(const QString &port);
    // attach(), then waits for the firmware client to become Ready; false with the reason.
    bool open(const Options &options, QString *error);

    TarrowindFirmware *firmware() const;
    TarrowindLogger *logger() const { return m_logger.get(); }
    SerialComm *comm() const { return m_comm.get(); }
    bool isReady() const;

    // Waits until the request `id` has finished (any outcome) or `timeoutMs` passed.
    // Returns false for id 0 (nothing was sent) and on the time-out.
    bool waitForRequest(uint16_t id, int timeoutMs, TarrowindFirmware::PacketOutcome *outcome);

    // Receives every debug, info and warning message logged on this thread from now on (the
    // one-line texts of the protocol log). Pass an empty function to stop.
    void setLogObserver(std::function<void(const QString &)> observer);

private:
    static void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
    void observe(const QString &message);
    bool neverOpened() const;
    QString explainFailure(const Options &options) const;

    std::unique_ptr<SerialComm> m_comm;
    std::unique_ptr<TarrowindLogger> m_logger;
    std::unique_ptr<LoggerLineBinding> m_binding;
    std::function<void(const QString &)> m_observer;
    RequestOutcomes m_finished;
    int m_openAttempts = 0;
    bool m_portOpened = false;
    bool m_loggerAnnounced = false;
    QtMessageHandler m_previousHandler = nullptr;
};
