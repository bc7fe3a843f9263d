#pragma once

#include <QObject>
#include <QString>

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

public:
    explicit LibraryService(QObject *parent = nullptr);
    ~LibraryService() override;

    QString setting() const { return m_setting; }
    void setSetting(const QString &setting);
    QString location() const;
    int pending() const { return m_pending; }

    // Hashes, analyses and stores the raw log at `path`; `added` follows.
    Q_INVOKABLE void addFile(const QString &path);

    // The value of `--library` in the program's arguments, empty when absent.
    static QString commandLineOption(const QStringList &arguments);

signals:
    void locationChanged();
    void pendingChanged();
    // `ok` false: `message` says why the log is not in the library.
    void added(const QString &path, bool ok, const QString &message);

private:
    LibraryWorker *m_worker;
    QString m_option;
    QString m_setting;
    int m_pending = 0;
};
