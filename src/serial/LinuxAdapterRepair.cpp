#include "AdapterRepair.h"

#include "LibftdiEeprom.h"
#include "UdevPortEnumerator.h"
#include "UdevRule.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

PortInfoMap enumeratePorts()
{
    return UdevPortEnumerator::enumerate(UdevPortEnumerator::extraPortsFromEnvironment(), UdevRule::ruleFolders());
}

bool ftdiUpdateEeprom(const QString &portName, const QString &serialNumber)
{
    qDebug().noquote() << QStringLiteral("ftdiUpdateEeprom(path:%1 serial:%2)").arg(portName, serialNumber);
    return LibftdiEeprom::updateProductStrings(portName, serialNumber);
}

QString repairLogPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/ftdi-fix.txt");
}

namespace {
void keepRepairOutput(const QByteArray &output, int exitCode)
{
    const QString path = repairLogPath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    const QByteArray text = output + "exit code " + QByteArray::number(exitCode) + '\n';
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        qWarning().noquote() << "FixFtdi: could not keep the repair's output in" << path << file.errorString();
}
}  // namespace

bool FixFtdi(const QString &elevatedFixPath)
{
    qDebug().noquote() << "FixFtdi: calling elevated fixftdi" << elevatedFixPath;
    QProcess process;
    process.setProgram(QStringLiteral("pkexec"));
    process.setArguments({QCoreApplication::applicationFilePath(), QStringLiteral("fixftdi"),
                          QString::fromLatin1(elevatedFixPath.toUtf8().toBase64())});
    // pkexec gives the copy root's home, so its own log lands where the user never looks: its
    // output is kept here instead, where the support bundle and the failure message find it.
    process.setProcessChannelMode(QProcess::MergedChannels);
    // The password prompt may stay open for long: keep the window painting meanwhile, but let
    // no input reach it, so nothing else starts while the repair runs.
    QEventLoop loop;
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&loop](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            loop.quit();
    });
    process.start();
    if (process.state() != QProcess::NotRunning || process.error() != QProcess::FailedToStart)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (process.error() == QProcess::FailedToStart) {
        qDebug() << "FixFtdi: could not start pkexec";
        return false;
    }
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : 1;
    keepRepairOutput(process.readAll(), code);
    qDebug() << "FixFtdi exit" << code;
    return code == 0;
}

bool ftdiElevatedFix(const QString &elevatedFixPath)
{
    qDebug().noquote() << "ftdiElevatedFix" << elevatedFixPath;
    // Running as root: act only on the one action this program hands out.
    if (elevatedFixPath != QLatin1String(UdevRule::kAction)) {
        qWarning().noquote() << "ftdiElevatedFix: refusing unknown action" << elevatedFixPath;
        return false;
    }
    return UdevRule::install(UdevRule::ruleFolders(), UdevRule::defaultCommands());
}
