#include "StoredSettings.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUuid>
#include <QVariant>

QString StoredSettings::defaultOfflineStoragePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
           QStringLiteral("/QML/OfflineStorage");
}

QString StoredSettings::databasePath(const QString &offlineStoragePath)
{
    const QByteArray hash = QCryptographicHash::hash("Gannet", QCryptographicHash::Md5).toHex();
    return offlineStoragePath + QStringLiteral("/Databases/") + QString::fromLatin1(hash) + QStringLiteral(".sqlite");
}

bool StoredSettings::read(const QString &offlineStoragePath, QByteArray *json, QString *error)
{
    const QString path = databasePath(offlineStoragePath);
    if (!QFileInfo(path).isFile()) {
        *error = QStringLiteral("no stored settings at %1").arg(path);
        return false;
    }
    // A connection of its own, so callers in any thread never share one.
    const QString connection = QStringLiteral("storedsettings-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!db.open()) {
            *error = QStringLiteral("could not open %1: %2").arg(path, db.lastError().text());
        } else {
            QSqlQuery query(db);
            query.prepare(QStringLiteral("SELECT value FROM variable WHERE name = ?"));
            query.addBindValue(QStringLiteral("settings"));
            if (!query.exec())
                *error = QStringLiteral("could not read %1: %2").arg(path, query.lastError().text());
            else if (!query.next())
                *error = QStringLiteral("no settings stored in %1").arg(path);
            else {
                *json = query.value(0).toString().toUtf8();
                ok = true;
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return ok;
}
