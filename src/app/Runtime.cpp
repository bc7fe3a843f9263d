#include "Runtime.h"

#include "common/SafeFileName.h"
#include "serial/AdapterRepair.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>
#include <QUrl>

namespace {
constexpr int kCommandTimeoutMs = 30000;

QLocale usEnglish()
{
    return QLocale(QLocale::English, QLocale::UnitedStates);
}

// No quoting: every run of white space separates arguments.
QStringList splitCommand(const QString &command)
{
    static const QRegularExpression whiteSpace(QStringLiteral("\\s+"));
    const QString trimmed = command.trimmed();
    if (trimmed.isEmpty())
        return {};
    return trimmed.split(whiteSpace);
}

QString siblingName(const QFileInfo &info, const QString &tail)
{
    return QDir::toNativeSeparators(info.path() + QDir::separator() + info.completeBaseName() + tail);
}
}  // namespace

Runtime::Runtime(QObject *parent) : Runtime([] { return portInfoMapToVariantMap(enumeratePorts()); }, parent) {}

Runtime::Runtime(PortEnumerator enumerator, QObject *parent) : QObject(parent), m_enumerator(std::move(enumerator))
{
    m_clock.start();
    enumerateSerialPorts();
}

Runtime::~Runtime()
{
    // The job posts its result to this object; once it has finished, QObject's destructor
    // discards the posted call.
    waitForJob();
}

void Runtime::waitForJob()
{
    if (!m_job)
        return;
    m_jobDone.wait();
    m_job->waitForFinished();
    m_job.reset();
}

QString Runtime::findUnusedFileName(const QString &originalName) const
{
    const QString name = SafeFileName::unusedFileName(originalName);
    if (name.isEmpty())
        qWarning().noquote() << "No unused file name for" << originalName;
    return name;
}

void Runtime::enumerateSerialPorts()
{
    if (m_job)
        return;
    const PortEnumerator enumerator = m_enumerator;
    auto done = std::make_shared<std::promise<void>>();
    m_jobDone = done->get_future();
    m_job = QtConcurrent::run(QThreadPool::globalInstance(), [enumerator, this, done] {
        const QVariantMap ports = enumerator ? enumerator() : QVariantMap();
        QMetaObject::invokeMethod(this, "serialPortEnumerationFinished", Qt::QueuedConnection,
                                  Q_ARG(QVariantMap, ports));
        done->set_value();
    });
    emit enumeratingSerialPortsChanged(true);
}

void Runtime::serialPortEnumerationFinished(QVariantMap serialPorts)
{
    m_serialPorts = serialPorts;
    emit serialPortsChanged();
    waitForJob();
    emit enumeratingSerialPortsChanged(false);
}

QString Runtime::replaceDotExt(const QString &file, const QString &replacement) const
{
    return siblingName(QFileInfo(file), replacement);
}

QString Runtime::pathFromFile(const QString &file) const
{
    return QFileInfo(file).path();
}

QString Runtime::filenameFromFile(const QString &fullFilePath) const
{
    return QDir::toNativeSeparators(QFileInfo(fullFilePath).fileName());
}

QString Runtime::urlFromLocalFile(const QString &file) const
{
    return QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded);
}

QString Runtime::urlToLocalFile(const QString &url) const
{
    return QUrl(url).toLocalFile();
}

QString Runtime::parentFolder(const QString &file) const
{
    return QFileInfo(file).absolutePath();
}

QString Runtime::parentFolderIfFile(const QString &file) const
{
    const QFileInfo info(file);
    return info.isFile() ? info.absolutePath() : info.filePath();
}

double Runtime::secondsSinceStart() const
{
    return double(m_clock.nsecsElapsed()) / 1e9;
}

QString Runtime::localeFormatInteger(qint64 value) const
{
    return usEnglish().toString(value);
}

QString Runtime::localeFormatDouble(double value, int precision) const
{
    return usEnglish().toString(value, 'f', qMax(0, precision));
}

QString Runtime::defaultLogFolder() const
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QStringLiteral("/TarrowindUtility");
}

QString Runtime::defaultFlashFolder() const
{
    return QCoreApplication::applicationDirPath();
}

QString Runtime::loadFileAsString(const QString &url) const
{
    QFile file(url);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "Could not open file" << url;
        return QString();
    }
    return QString::fromUtf8(file.readAll());
}

void Runtime::setClipboard(const QString &text) const
{
    // The clipboard needs a GUI application object; headless callers have none.
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return;
    QGuiApplication::clipboard()->setText(text);
}

int Runtime::executeSystemCommand(const QString &command) const
{
    QStringList parts = splitCommand(command);
    if (parts.isEmpty())
        return -1;
    const QString program = parts.takeFirst();
    QProcess process;
    process.start(program, parts, QIODevice::ReadWrite);
    if (!process.waitForStarted())
        return -1;
    if (!process.waitForFinished(kCommandTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

bool Runtime::fireAndForgetSystemCommand(const QString &command) const
{
    QStringList parts = splitCommand(command);
    if (parts.isEmpty())
        return false;
    const QString program = parts.takeFirst();
    return QProcess::startDetached(program, parts);
}

bool Runtime::updateEeprom(const QString &portName, const QString &serialNumber)
{
    return ftdiUpdateEeprom(portName, serialNumber);
}

bool Runtime::elevatedFtdiFix(const QString &elevatedFixPath)
{
    return FixFtdi(elevatedFixPath);
}

QString Runtime::repairLogPath() const
{
    return ::repairLogPath();
}
