#pragma once

#include <QString>
#include <QStringList>

// A private PostgreSQL server for one test (or benchmark) program: its own cluster in a
// temporary folder, reached only through a Unix socket in that folder (no TCP), so it never
// meets a system-wide server nor another program's. With TLS it also listens on 127.0.0.1, on a
// port free when it starts.
//
// The programs live in /usr/lib/postgresql/<version>/bin (Debian keeps them off PATH). initdb
// refuses to run as root, so as root (CI) every server program runs as the `postgres` system
// user through runuser, and the cluster's folder belongs to that user.
//
// Clusters live under /tmp/tw-pgtest-<uid>/<pid>. The server is stopped (pg_ctl -m immediate)
// and its folder removed by stop(), the destructor and at exit; a fatal signal stops the
// server (SIGQUIT to the postmaster, which is what an immediate stop sends) and leaves the
// folder, which the next start removes with every other folder whose program has gone.
class PgTestServer
{
public:
    PgTestServer();
    ~PgTestServer();
    PgTestServer(const PgTestServer &) = delete;
    PgTestServer &operator=(const PgTestServer &) = delete;

    // Settings passed to the server (`-c name=value`). By default the tests' server trades
    // durability for speed (no fsync); a benchmark that measures commits clears them.
    void setServerSettings(const QStringList &settings) { m_settings = settings; }
    // Serves TLS with this certificate and key (PEM files, copied for the server's user) on
    // 127.0.0.1 too. Before start().
    void setTls(const QString &certificateFile, const QString &keyFile)
    {
        m_certificate = certificateFile;
        m_key = keyFile;
    }

    // Creates the cluster and starts the server, waiting (with a deadline) until it accepts
    // connections. On failure the reason, with the tail of the server's log, is in `error`.
    bool start(QString *error);
    void stop();
    bool isRunning() const { return m_postmasterPid > 0; }

    QString socketDir() const { return m_dir; }
    int port() const { return m_port; }
    static QString userName() { return QStringLiteral("postgres"); }
    // postgresql://postgres@localhost:PORT/DATABASE?host=SOCKETDIR
    QString address(const QString &database) const;

    // Runs SQL through psql on `database`; returns its unaligned output, or a null string with
    // the reason in `error`.
    QString query(const QString &database, const QString &sql, QString *error = nullptr) const;
    bool createDatabase(const QString &name, QString *error = nullptr) const;
    // Ends every other connection to `database` (pg_terminate_backend) for which the SQL
    // `condition` on pg_stat_activity holds; returns how many.
    int terminateConnections(const QString &database, const QString &condition = QStringLiteral("true")) const;

    // The server started on first use and stopped at exit: one per program.
    static PgTestServer &shared();

    // /usr/lib/postgresql/<highest version>/bin, or empty when no server is installed.
    static QString binDir();

private:
    QStringList asServerUser(const QString &program) const;
    QString logTail() const;
    void removeStaleClusters(const QString &parent) const;

    bool copyForServer(const QString &from, const QString &name, uint uid, uint gid, QString *to) const;

    QStringList m_settings;
    QString m_certificate;
    QString m_key;
    QString m_bin;
    QString m_dir;
    int m_port = 54329;
    long m_postmasterPid = 0;
};
