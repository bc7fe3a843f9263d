#include "LoggerConnection.h"

#include "bootloader/LoggerLineBinding.h"
#include "bootloader/TarrowindLogger.h"
#include "CliSupport.h"
#include "serial/SerialComm.h"
#include "serial/SerialSupport.h"

#include <algorithm>
#include <atomic>
#include <QThread>

namespace {
// The instance whose thread's debug messages go to its observer, and the handler that was
// installed before it (warnings and worse are passed on to it).
std::atomic<LoggerConnection *> g_active{nullptr};
std::atomic<QThread *> g_activeThread{nullptr};
std::atomic<QtMessageHandler> g_previous{nullptr};
}  // namespace

QList<QCommandLineOption> LoggerConnection::commandLineOptions()
{
    const QString timeout =
        QStringLiteral("give up connecting after S seconds (default %1)").arg(kDefaultTimeoutMs / 1000);
    return {Cli::portOption(), Cli::option({QStringLiteral("timeout")}, QStringLiteral("S"), timeout)};
}

bool LoggerConnection::readOptions(const QCommandLineParser &args, Options *options, QString *error)
{
    options->port = args.value(QStringLiteral("port"));
    if (options->port.isEmpty()) {
        *error = QStringLiteral("this command needs --port PORT");
        return false;
    }
    if (args.isSet(QStringLiteral("timeout"))) {
        const QString timeout = args.value(QStringLiteral("timeout"));
        bool ok = false;
        const double seconds = timeout.toDouble(&ok);
        if (!ok || !(seconds > 0) || seconds > 86400) {
            *error = QStringLiteral("--timeout needs a number of seconds above 0 (got '%1')").arg(timeout);
            return false;
        }
        options->timeoutMs = std::max(1, int(seconds * 1000));
    }
    return true;
}

LoggerConnection::LoggerConnection()
{
    m_previousHandler = qInstallMessageHandler(&LoggerConnection::messageHandler);
    g_previous.store(m_previousHandler);
    g_activeThread.store(QThread::currentThread());
    g_active.store(this);
}

LoggerConnection::~LoggerConnection()
{
    // An observer may capture the caller's locals, which can be gone already.
    g_active.store(nullptr);
    m_observer = nullptr;
    // The binding and the controller reference the factory; the controller's clients hold
    // the factory's port. So: binding, controller (clients first), then the factory, which
    // closes the port in its worker thread.
    m_binding.reset();
    m_logger.reset();
    m_comm.reset();
    qInstallMessageHandler(m_previousHandler);
}

TarrowindFirmware *LoggerConnection::firmware() const
{
    return m_logger ? m_logger->firmware() : nullptr;
}

bool LoggerConnection::isReady() const
{
    return firmware() && firmware()->connectionState() == TarrowindFirmware::ConnectionState_Ready;
}

void LoggerConnection::attach(const QString &port)
{
    initSerialSupport();
    m_comm = std::make_unique<SerialComm>();
    m_logger = std::make_unique<TarrowindLogger>();
    TarrowindFirmware *fw = m_logger->firmware();
    QObject::connect(fw, &TarrowindFirmware::packetFinished, fw,
                     [this](uint16_t id, TarrowindFirmware::PacketOutcome outcome) { m_finished.record(id, outcome); });
    QObject::connect(fw, &TarrowindFirmware::connectionStateChanged, fw, [this](TarrowindFirmware::ConnectionState s) {
        if (s != TarrowindFirmware::ConnectionState_Unconnected)
            m_loggerAnnounced = true;
    });
    QObject::connect(m_comm.get(), &SerialComm::openingChanged, fw, [this](bool opening) {
        if (!opening)
            ++m_openAttempts;
    });
    QObject::connect(m_comm.get(), &IODeviceFactory::ioDeviceChanged, fw, [this] {
        if (m_comm->ioDevice())
            m_portOpened = true;
    });
    m_binding.reset(LoggerLineBinding::connectLogger(m_comm.get(), m_logger.get()));
    m_comm->setSerialPort(port);
}

bool LoggerConnection::open(const Options &options, QString *error)
{
    attach(options.port);

    // A port that cannot be opened at all will not open by waiting either: give up after
    // the first attempt instead of retrying every few seconds as the user interface does.
    // (Later reopens, for a mode switch or after silence, may fail for a moment; those are
    // waited out.)
    Cli::waitFor([this] { return isReady() || neverOpened(); }, options.timeoutMs);
    if (isReady())
        return true;
    *error = explainFailure(options);
    return false;
}

bool LoggerConnection::neverOpened() const
{
    return m_openAttempts > 0 && !m_portOpened && !m_comm->opening() && !m_comm->ioDevice();
}

QString LoggerConnection::explainFailure(const Options &options) const
{
    const QString within = QString::number(options.timeoutMs / 1000.0);
    if (neverOpened()) {
        const QString why =
            m_comm->lastPortError().isEmpty() ? QStringLiteral("it cannot be opened") : m_comm->lastPortError();
        return QStringLiteral("no logger answered on %1: the port cannot be opened (%2)").arg(options.port, why);
    }
    if (m_openAttempts == 0)
        return QStringLiteral("no logger answered on %1: the port did not open within %2 s").arg(options.port, within);
    if (m_loggerAnnounced)
        return QStringLiteral("the logger on %1 announced itself but did not finish connecting within %2 s")
            .arg(options.port, within);
    return QStringLiteral("no logger answered on %1 within %2 s").arg(options.port, within);
}

bool LoggerConnection::waitForRequest(uint16_t id, int timeoutMs, TarrowindFirmware::PacketOutcome *outcome)
{
    if (id == 0)
        return false;
    if (!Cli::waitFor([&] { return m_finished.contains(id); }, timeoutMs))
        return false;
    return m_finished.take(id, outcome);
}

void LoggerConnection::setLogObserver(std::function<void(const QString &)> observer)
{
    m_observer = std::move(observer);
}

void LoggerConnection::observe(const QString &message)
{
    if (m_observer)
        m_observer(message);
}

void LoggerConnection::messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // Warnings too: the protocol warns about every expired request, and the command turns
    // that into its own one-line error.
    if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg) {
        LoggerConnection *active = g_active.load();
        if (active && QThread::currentThread() == g_activeThread.load())
            active->observe(message);
        return;
    }
    // Qt hands out its default handler when none was installed, so there always is one.
    if (QtMessageHandler previous = g_previous.load())
        previous(type, context, message);
}
