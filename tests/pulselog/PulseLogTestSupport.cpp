#include "PulseLogTestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTime>

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
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

bool sameWorkbookParts(const QString &a, const QString &b)
{
    QString error;
    const QJsonObject left =
        readBack(QStringLiteral("zip"), a, &error).object().value(QStringLiteral("parts")).toObject();
    EXPECT_FALSE(left.isEmpty()) << a.toStdString() << ": " << error.toStdString();
    const QJsonObject right =
        readBack(QStringLiteral("zip"), b, &error).object().value(QStringLiteral("parts")).toObject();
    EXPECT_FALSE(right.isEmpty()) << b.toStdString() << ": " << error.toStdString();
    EXPECT_EQ(left.keys(), right.keys());
    bool same = !left.isEmpty() && left.keys() == right.keys();
    for (auto it = left.constBegin(); it != left.constEnd(); ++it) {
        const QString mine = it.value().toString();
        const QString other = right.value(it.key()).toString();
        if (mine != other) {
            same = false;
            int at = 0;
            while (at < mine.size() && at < other.size() && mine[at] == other[at])
                ++at;
            const int from = std::max(0, at - 60);
            ADD_FAILURE() << it.key().toStdString() << " differs at " << at << ":\n"
                          << mine.mid(from, 160).toStdString() << "\n"
                          << other.mid(from, 160).toStdString();
        }
    }
    return same;
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
