#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

// tarrowind-cli (from TW_BIN_DIR) as a black box: started with extra environment variables,
// several at once when a test wants them to race. The wait runs the caller's event loop.
struct CliResult {
    int status = -1;  // -1: crashed or still running at the deadline
    QByteArray out;
    QString err;
};

QProcess *startCli(const QStringList &args, const QMap<QString, QString> &environment);
CliResult finishCli(QProcess *process, int timeoutMs = 180000);  // deletes `process`
CliResult runCli(const QStringList &args, const QMap<QString, QString> &environment = {}, int timeoutMs = 180000);
