#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class LibraryWorker;

// The window's way into the library: which file it is (the program's `--library` option, else
// TW_LIBRARY, else the "Library" setting, else the default) and adding saved logs to it off
// the GUI thread, one after the other.
class LibraryService : public QObject
{
    Q_OBJECT
    // The "Library" setting; empty for the default.
    Q_PROPERTY(QString setting READ setting WRITE setSetting NOTIFY locationChanged)
    Q_PROPERTY(QString location READ location NOTIFY locationChanged)
    Q_PROPERTY(int pending READ pending NOTIFY pendingChanged)
    // The "Shared archive address" setting; the team archive is the program's
    // `--archive-address` option, else TW_ARCHIVE, else the setting (empty: none).
    Q_PROPERTY(QString archiveSetting READ archiveSetting WRITE setArchiveSetting NOTIFY archiveChanged)
    Q_PROPERTY(QString archiveAddress READ archiveAddress NOTIFY archiveChanged)

public:
    explicit LibraryService(QObject *parent = nullptr);
    ~LibraryService() override;

    QString setting() const { return m_setting; }
    void setSetting(const QString &setting);
    QString location() const;
    int pending() const { return m_pending; }
    QString archiveSetting() const { return m_archiveSetting; }
    void setArchiveSetting(const QString &setting);
    QString archiveAddress() const;
    // Why `address` cannot be used as the archive's address; empty when it can (or is empty).
    Q_INVOKABLE QString archiveAddressError(const QString &address) const;
    // Sends the logs still waiting for the archive, when there are any and it answers. Runs
    // by itself every few minutes while an archive is configured.
    Q_INVOKABLE void syncArchive();
    // The archive could not take a save: told once, until it answers again.
    void reportArchiveWaiting(const QString &reason);

    // Hashes, analyses and stores the raw log at `path`; `added` follows.
    Q_INVOKABLE void addFile(const QString &path);

    // The value of `--library` in the program's arguments, empty when absent.
    static QString commandLineOption(const QStringList &arguments, const QString &name = QStringLiteral("library"));

signals:
    void locationChanged();
    void pendingChanged();
    // `ok` false: `message` says why the log is not in the library.
    void added(const QString &path, bool ok, const QString &message);
    void archiveChanged();
    // What happened on the way to the team archive (positivity as globalMessage takes it).
    void archiveMessage(int positivity, const QString &text);

private:
    LibraryWorker *m_worker;
    QString m_option;
    QString m_setting;
    int m_pending = 0;
    QString m_archiveOption;
    QString m_archiveSetting;
    QTimer m_archiveSync;
    bool m_archiveReported = false;  // the archive's silence is told once, not at every save
};
