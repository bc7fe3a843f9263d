#include "CliRun.h"

#include "WaitUntil.h"

#include <QCoreApplication>
#include <QProcessEnvironment>

QProcess *startCli(const QStringList &args, const QMap<QString, QString> &environment)
{
    auto *process = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = environment.begin(); it != environment.end(); ++it)
        env.insert(it.key(), it.value());
    process->setProcessEnvironment(env);
    process->start(qEnvironmentVariable("TW_BIN_DIR") + QStringLiteral("/tarrowind-cli"), args);
    return process;
}

CliResult finishCli(QProcess *process, int timeoutMs)
{
    CliResult r;
    // The event loop keeps turning: the test may be serving the tool (a relayed line, a server).
    const bool ended = QCoreApplication::instance()
                           ? waitUntil([process] { return process->state() == QProcess::NotRunning; }, timeoutMs)
                           : process->waitForFinished(timeoutMs);
    if (ended && process->error() != QProcess::FailedToStart && process->exitStatus() == QProcess::NormalExit)
        r.status = process->exitCode();
    else
        process->kill();
    process->waitForFinished(5000);
    r.out = process->readAllStandardOutput();
    r.err = QString::fromUtf8(process->readAllStandardError());
    delete process;
    return r;
}

CliResult runCli(const QStringList &args, const QMap<QString, QString> &environment, int timeoutMs)
{
    return finishCli(startCli(args, environment), timeoutMs);
}
