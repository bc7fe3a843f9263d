#pragma once

#include <QString>

class QSqlDatabase;

// Where the team's shared archive lives: postgresql://[user@]host[:port]/database[?host=/socket/dir]
// (libpq's URI form; "postgres://" too). A password is never accepted here: it would end up in
// the settings, in shell histories and in support bundles. libpq reads it from ~/.pgpass (or
// the file PGPASSFILE names), as PostgreSQL's own tools do.
//
// A server reached over the network is encrypted and its certificate verified against the
// system's authorities (sslmode=verify-full), unless the address asks for a weaker sslmode or
// names another authority file (sslrootcert=); a Unix socket folder needs neither.
class ArchiveAddress
{
public:
    // Parses `text`; an invalid result carries the reason in error(), which never repeats a
    // password.
    static ArchiveAddress parse(const QString &text);
    // Whether `text` is meant as an archive address (a postgresql:// or postgres:// URI) rather
    // than a library file.
    static bool isAddress(const QString &text);
    // The archive a command or the window uses: the `--archive` option, else the TW_ARCHIVE
    // environment variable, else the "Shared archive address" setting; empty for none.
    static QString configured(const QString &option, const QString &setting);

    bool isValid() const { return m_error.isEmpty() && !m_database.isEmpty(); }
    QString error() const { return m_error; }

    QString userName() const { return m_user; }
    // A host name, an address, or a Unix socket folder (absolute path); empty for libpq's default.
    QString host() const { return m_host; }
    int port() const { return m_port; }  // -1: libpq's default
    QString database() const { return m_database; }
    // libpq options for QSqlDatabase::setConnectOptions ("sslmode=verify-full;...;connect_timeout=10").
    QString connectOptions() const { return m_options; }

    // The authorities a TCP connection is verified against when the address names none
    // (Debian's libpq 15 has no sslrootcert=system).
    static constexpr const char *kSystemAuthorities = "/etc/ssl/certs/ca-certificates.crt";

    // The address as shown to the user and in logs (never with a password: none is accepted).
    QString displayText() const;
    // What to do about a refused connection, appended to libpq's `message` (empty when there is
    // nothing to add).
    QString connectionHint(const QString &message) const;

    // Connection settings of a QPSQL connection.
    void applyTo(QSqlDatabase &db) const;

private:
    QString m_error;
    QString m_user;
    QString m_host;
    int m_port = -1;
    QString m_database;
    QString m_options;
    QString m_sslMode;      // as given; empty: the default
    QString m_sslRootCert;  // as given
};
