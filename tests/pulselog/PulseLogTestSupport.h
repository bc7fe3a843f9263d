#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonDocument>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace TestSupport {
// Local (TZ) date-time in ns since 1970.
int64_t localNs(int year, int month, int day, int hour, int minute, int second, int ms = 0);
QDateTime localDate(int year, int month, int day, int hour, int minute, int second, int ms = 0);

QByteArray readFile(const QString &path);
void writeFile(const QString &path, const QByteArray &bytes);
// Files in a directory other than the ones named.
QStringList strayFiles(const QString &dir, const QStringList &expected);

// Runs tests/pulselog/readback.py (python3) and returns its JSON output; a null document on failure.
QJsonDocument readBack(const QString &mode, const QString &path, QString *error);

// True when two workbooks hold the same bytes in every part except the document properties
// (which carry the time of writing); differing parts are reported as test failures.
bool sameWorkbookParts(const QString &a, const QString &b);

// Limits the size of files this process may write (0 lifts the limit); writes past it fail
// like on a full disk.
void limitFileSize(int64_t bytes);
}  // namespace TestSupport
