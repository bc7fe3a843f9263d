#include "LibraryLocation.h"

#include <QStandardPaths>

QString LibraryLocation::defaultFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/library.sqlite");
}

QString LibraryLocation::resolve(const QString &option, const QString &setting)
{
    if (!option.trimmed().isEmpty())
        return option;
    const QString variable = qEnvironmentVariable("TW_LIBRARY");
    if (!variable.trimmed().isEmpty())
        return variable;
    if (!setting.trimmed().isEmpty())
        return setting;
    return defaultFile();
}
