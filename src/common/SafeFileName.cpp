#include "SafeFileName.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace {
bool unsafe(QChar c)
{
    static const QString kForbidden = QStringLiteral(":./\\*?\"<>|");
    return c.isSpace() || c.category() == QChar::Other_Control || kForbidden.contains(c);
}

// Windows opens a device, not a file, for these names (with or without an extension).
bool reservedOnWindows(const QString &name)
{
    static const QRegularExpression kReserved(QStringLiteral("^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])$"),
                                              QRegularExpression::CaseInsensitiveOption);
    return kReserved.match(name).hasMatch();
}
}  // namespace

SafeFileName::SafeFileName(QObject *parent) : QObject(parent) {}

QString SafeFileName::component(const QString &name)
{
    QString safe = name.left(kMaxComponentLength);
    for (QChar &c : safe) {
        if (unsafe(c))
            c = QLatin1Char('_');
    }
    // A surrogate pair cut in half is no character at all.
    if (!safe.isEmpty() && safe.at(safe.size() - 1).isHighSurrogate())
        safe.chop(1);
    if (reservedOnWindows(safe))
        safe += QLatin1Char('_');
    return safe;
}

QString SafeFileName::sessionFileName(const QString &deviceName, int sessionIndex, const QString &sessionName,
                                      int fileType)
{
    const QString device = component(deviceName);
    QString name = device.isEmpty() ? QString() : device + QLatin1Char('_');
    name += QStringLiteral("%1").arg(qMax(0, sessionIndex), 4, 10, QLatin1Char('0'));
    const QString session = component(sessionName);
    name += session.isEmpty() ? QStringLiteral("_unnamed") : QLatin1Char('_') + session;
    name += fileType == 1 ? QStringLiteral(".rlog") : QStringLiteral(".unknown");
    return name;
}

QString SafeFileName::pathInside(const QString &folder, const QString &fileName)
{
    if (folder.isEmpty() || fileName.isEmpty())
        return QString();
    const QString base = QDir::cleanPath(QDir(folder).absolutePath());
    const QString path = QDir::cleanPath(base + QLatin1Char('/') + fileName);
    if (QFileInfo(path).dir().absolutePath() != base || QFileInfo(path).fileName() != fileName)
        return QString();
    return path;
}

QString SafeFileName::unusedFileName(const QString &path)
{
    if (!QFileInfo::exists(path))
        return path;
    const QFileInfo info(path);
    for (int n = 2; n <= kLastCopyNumber; ++n) {
        const QString candidate = QDir::toNativeSeparators(info.path() + QDir::separator() + info.completeBaseName() +
                                                           QStringLiteral("(%1).").arg(n) + info.suffix());
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
    return QString();
}
