#include "CliRun.h"

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
    if (process->waitForFinished(timeoutMs) && process->exitStatus() == QProcess::NormalExit)
        r.status = process->exitCode();
    else
        process->kill();
    process->waitForFinished(5000);
    r.out = process->readAllStandardOutput();
    r.err = QString::fromUtf8(process->readAllStandardError());
    delete process;
    return r;
}

CliResult runCli(const QStringList &args, const QMap<QString, QString> &environment)
{
    return finishCli(startCli(args, environment));
}
