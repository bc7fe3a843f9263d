#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// Every entry of a zip file, read back through libzip as any consumer would; empty when the
// file is not a consistent archive.
QMap<QString, QByteArray> readZip(const QString &path);
