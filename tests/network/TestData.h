#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Test data lives beside the tests; TW_SOURCE_DIR (set by ctest) wins over the path compiled in.
inline QString networkTestDataDir()
{
    const QByteArray root = qgetenv("TW_SOURCE_DIR");
    if (!root.isEmpty())
        return QString::fromLocal8Bit(root) + QStringLiteral("/tests/network/data");
    return QStringLiteral(TW_NETWORK_TEST_DATA);
}

inline QByteArray readNetworkTestFile(const QString &relative)
{
    QFile f(networkTestDataDir() + QLatin1Char('/') + relative);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}
