#pragma once

#include <QByteArray>
#include <QString>

// The settings as the program last saved them: the row "settings" of its local-storage
// database, read without a QML engine (the command-line tool has none). Qt Quick keeps the
// database "Gannet" as an SQLite file named after the MD5 of that name under the engine's
// offline storage folder, which defaults to the application data folder's "QML/OfflineStorage".
class StoredSettings
{
public:
    static QString defaultOfflineStoragePath();
    static QString databasePath(const QString &offlineStoragePath);

    // The stored JSON text; false with a reason when there is no database or no such row.
    // Opens the database read-only, so a running program is never disturbed.
    static bool read(const QString &offlineStoragePath, QByteArray *json, QString *error);
};
