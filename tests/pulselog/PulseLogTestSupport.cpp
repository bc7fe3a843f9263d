#include "PulseLogTestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTime>

#include <csignal>
#include <sys/resource.h>

namespace TestSupport {
QDateTime localDate(int year, int month, int day, int hour, int minute, int second, int ms)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second, ms), Qt::LocalTime);
}

int64_t localNs(int year, int month, int day, int hour, int minute, int second, int ms)
{
    return localDate(year, month, day, hour, minute, second, ms).toMSecsSinceEpoch() * 1000000;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

QStringList strayFiles(const QString &dir, const QStringList &expected)
{
    QStringList stray;
    for (const QString &name : QDir(dir).entryList(QDir::Files | QDir::Hidden)) {
        if (!expected.contains(name))
            stray << name;
    }
    return stray;
}

QJsonDocument readBack(const QString &mode, const QString &path, QString *error)
{
    const QString script = qEnvironmentVariable("TW_SOURCE_DIR") + QStringLiteral("/tests/pulselog/readback.py");
    QProcess python;
    // Debian's interpreter carries python3-openpyxl; a python3 earlier in PATH may not.
    const QString interpreter = QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                                                  : QStringLiteral("python3");
    python.start(interpreter, {script, mode, path});
    if (!python.waitForFinished(60000) || python.exitCode() != 0) {
        *error = QString::fromUtf8(python.readAllStandardError());
        return QJsonDocument();
    }
    QJsonParseError parse;
    QJsonDocument doc = QJsonDocument::fromJson(python.readAllStandardOutput(), &parse);
    if (doc.isNull())
        *error = parse.errorString();
    return doc;
}

void limitFileSize(int64_t bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = bytes > 0 ? rlim_t(bytes) : limit.rlim_max;
    setrlimit(RLIMIT_FSIZE, &limit);
}
}  // namespace TestSupport
