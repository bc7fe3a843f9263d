#include "PgTestServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>
#include <QVersionNumber>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// The postmaster to stop from a signal handler: only async-signal-safe reads of it.
volatile sig_atomic_t g_postmasterPid = 0;
struct sigaction g_previous[NSIG];
const int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGABRT, SIGSEGV, SIGBUS, SIGFPE};

void onFatalSignal(int sig)
{
    if (g_postmasterPid > 0)
        kill(pid_t(g_postmasterPid), SIGQUIT);
    sigaction(sig, &g_previous[sig], nullptr);
    raise(sig);
}

void installSignalHandlers()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    for (int sig : kFatalSignals) {
        struct sigaction action = {};
        action.sa_handler = onFatalSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_NODEFER | SA_RESETHAND;
        sigaction(sig, &action, &g_previous[sig]);
    }
}

// Runs a program without the event loop (it also runs after the application object is gone):
// stdin from /dev/null, stdout and stderr together into `output`, no other descriptor
// inherited (the postmaster outlives the call and must not hold the test's pipes).
int runProgram(const QStringList &argv, const QString &workDir, QString *output)
{
    std::vector<QByteArray> args;
    for (const QString &a : argv)
        args.push_back(a.toLocal8Bit());
    std::vector<char *> cargs;
    for (QByteArray &a : args)
        cargs.push_back(a.data());
    cargs.push_back(nullptr);
    const QByteArray dir = workDir.toLocal8Bit();

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return -1;
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
#ifdef SYS_close_range
        if (syscall(SYS_close_range, 3, ~0U, 0) != 0)
#endif
            for (int fd = 3; fd < 4096; ++fd)
                close(fd);
        if (!dir.isEmpty() && chdir(dir.constData()) != 0)
            _exit(126);
        execv(cargs[0], cargs.data());
        _exit(127);
    }
    close(pipeFds[1]);
    QByteArray out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n > 0)
            out.append(buffer, int(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (output)
        *output = QString::fromLocal8Bit(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A TCP port of 127.0.0.1 that nothing listens on now.
int freeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool isRoot()
{
    return geteuid() == 0;
}

bool processAlive(long pid)
{
    return pid > 0 && (kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// Socket paths are limited to about 100 bytes and pg_ctl passes the folder through a shell.
QString clusterParent()
{
    QString base = QDir::tempPath();
    for (QChar c : base)
        if (!(c.isLetterOrNumber() || c == '/' || c == '_' || c == '-' || c == '.'))
            base = QStringLiteral("/tmp");
    if (base.size() > 40)
        base = QStringLiteral("/tmp");
    return base + QStringLiteral("/tw-pgtest-") + QString::number(geteuid());
}

}  // namespace

PgTestServer::PgTestServer()
    : m_settings{QStringLiteral("fsync=off"), QStringLiteral("synchronous_commit=off"),
                 QStringLiteral("full_page_writes=off")}
{
}

PgTestServer::~PgTestServer()
{
    stop();
}

QString PgTestServer::binDir()
{
    QVersionNumber best;
    QString found;
    const QDir root(QStringLiteral("/usr/lib/postgresql"));
    for (const QString &name : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QVersionNumber version = QVersionNumber::fromString(name);
        const QString bin = root.filePath(name + QStringLiteral("/bin"));
        if (!version.isNull() && version > best && QFileInfo(bin + QStringLiteral("/pg_ctl")).isExecutable()) {
            best = version;
            found = bin;
        }
    }
    return found;
}

QStringList PgTestServer::asServerUser(const QString &program) const
{
    const QString path = m_bin + QLatin1Char('/') + program;
    if (!isRoot())
        return {path};
    QString runuser = QStandardPaths::findExecutable(QStringLiteral("runuser"));
    if (runuser.isEmpty())
        runuser = QStandardPaths::findExecutable(
            QStringLiteral("runuser"),
            {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"), QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
    return {runuser, QStringLiteral("-u"), userName(), QStringLiteral("--"), path};
}

QString PgTestServer::logTail() const
{
    QFile log(m_dir + QStringLiteral("/server.log"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = log.readAll();
    return QString::fromLocal8Bit(all.right(2000));
}

void PgTestServer::removeStaleClusters(const QString &parent) const
{
    const QDir dir(parent);
    for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isNumber = false;
        const long pid = name.toLong(&isNumber);
        if (!isNumber || processAlive(pid))
            continue;
        const QString cluster = dir.filePath(name);
        if (QFileInfo::exists(cluster + QStringLiteral("/data/postmaster.pid"))) {
            QStringList stopCommand = asServerUser(QStringLiteral("pg_ctl"));
            stopCommand << QStringLiteral("-D") << cluster + QStringLiteral("/data") << QStringLiteral("-m")
                        << QStringLiteral("immediate") << QStringLiteral("-t") << QStringLiteral("60")
                        << QStringLiteral("stop");
            runProgram(stopCommand, cluster, nullptr);
        }
        QDir(cluster).removeRecursively();
    }
}

bool PgTestServer::start(QString *error)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (isRunning())
        return true;
    m_bin = binDir();
    if (m_bin.isEmpty())
        return fail(QStringLiteral("no PostgreSQL server in /usr/lib/postgresql/*/bin (package postgresql)"));
    uid_t serverUid = geteuid();
    gid_t serverGid = getegid();
    if (isRoot()) {
        const passwd *pw = getpwnam("postgres");
        if (!pw)
            return fail(QStringLiteral("running as root needs the postgres system user"));
        serverUid = pw->pw_uid;
        serverGid = pw->pw_gid;
    }

    const QString parent = clusterParent();
    QDir().mkpath(parent);
    struct stat parentStat = {};
    if (stat(QFile::encodeName(parent).constData(), &parentStat) != 0 || parentStat.st_uid != geteuid())
        return fail(parent + QStringLiteral(" is not ours"));
    // The server's user must pass through the parent to reach its own folder.
    chmod(QFile::encodeName(parent).constData(), 0711);
    removeStaleClusters(parent);

    m_dir = parent + QLatin1Char('/') + QString::number(getpid());
    QDir(m_dir).removeRecursively();
    if (!QDir().mkpath(m_dir))
        return fail(QStringLiteral("cannot create ") + m_dir);
    const QByteArray dirPath = QFile::encodeName(m_dir);
    if (chown(dirPath.constData(), serverUid, serverGid) != 0 || chmod(dirPath.constData(), 0700) != 0)
        return fail(QStringLiteral("cannot hand ") + m_dir + QStringLiteral(" to the server's user"));
    installSignalHandlers();

    QString output;
    QStringList initdb = asServerUser(QStringLiteral("initdb"));
    initdb << QStringLiteral("-D") << m_dir + QStringLiteral("/data") << QStringLiteral("-U") << userName()
           << QStringLiteral("-A") << QStringLiteral("trust") << QStringLiteral("-E") << QStringLiteral("UTF8")
           << QStringLiteral("--locale=C") << QStringLiteral("--no-sync");
    if (runProgram(initdb, m_dir, &output) != 0) {
        stop();
        return fail(QStringLiteral("initdb failed: ") + output.right(2000));
    }

    QString listen = QStringLiteral("''");
    if (!m_certificate.isEmpty()) {
        QString certificate, key;
        m_port = freeLoopbackPort();
        if (m_port < 0 ||
            !copyForServer(m_certificate, QStringLiteral("server.crt"), serverUid, serverGid, &certificate) ||
            !copyForServer(m_key, QStringLiteral("server.key"), serverUid, serverGid, &key)) {
            stop();
            return fail(QStringLiteral("cannot set up TLS for the server"));
        }
        listen = QStringLiteral("127.0.0.1 -c ssl=on -c ssl_cert_file=%1 -c ssl_key_file=%2").arg(certificate, key);
    }
    QString options = QStringLiteral("-k %1 -p %2 -c listen_addresses=%3").arg(m_dir).arg(m_port).arg(listen);
    for (const QString &setting : m_settings)
        options += QStringLiteral(" -c ") + setting;
    QStringList pgctl = asServerUser(QStringLiteral("pg_ctl"));
    pgctl << QStringLiteral("-D") << m_dir + QStringLiteral("/data") << QStringLiteral("-l")
          << m_dir + QStringLiteral("/server.log") << QStringLiteral("-o") << options << QStringLiteral("-w")
          << QStringLiteral("-t") << QStringLiteral("120") << QStringLiteral("start");
    if (runProgram(pgctl, m_dir, &output) != 0) {
        const QString why = QStringLiteral("pg_ctl start failed: ") + output.right(1000) + logTail();
        stop();
        return fail(why);
    }
    QFile pidFile(m_dir + QStringLiteral("/data/postmaster.pid"));
    if (pidFile.open(QIODevice::ReadOnly))
        m_postmasterPid = pidFile.readLine().trimmed().toLong();
    g_postmasterPid = sig_atomic_t(m_postmasterPid);

    const QStringList ready = {m_bin + QStringLiteral("/pg_isready"),
                               QStringLiteral("-q"),
                               QStringLiteral("-h"),
                               m_dir,
                               QStringLiteral("-p"),
                               QString::number(m_port)};
    const QDeadlineTimer deadline(120000);
    while (runProgram(ready, QString(), nullptr) != 0) {
        if (deadline.hasExpired() || !processAlive(m_postmasterPid)) {
            const QString why = QStringLiteral("the server did not become ready: ") + logTail();
            stop();
            return fail(why);
        }
        QThread::msleep(100);
    }
    return true;
}

bool PgTestServer::copyForServer(const QString &from, const QString &name, uint uid, uint gid, QString *to) const
{
    *to = m_dir + QLatin1Char('/') + name;
    const QByteArray path = QFile::encodeName(*to);
    // the server refuses a key that others may read
    return QFile::copy(from, *to) && chown(path.constData(), uid_t(uid), gid_t(gid)) == 0 &&
           chmod(path.constData(), 0600) == 0;
}

void PgTestServer::stop()
{
    if (m_dir.isEmpty())
        return;
    if (QFileInfo::exists(m_dir + QStringLiteral("/data/postmaster.pid"))) {
        QStringList pgctl = asServerUser(QStringLiteral("pg_ctl"));
        pgctl << QStringLiteral("-D") << m_dir + QStringLiteral("/data") << QStringLiteral("-m")
              << QStringLiteral("immediate") << QStringLiteral("-t") << QStringLiteral("60") << QStringLiteral("stop");
        runProgram(pgctl, m_dir, nullptr);
    }
    if (processAlive(m_postmasterPid))
        kill(pid_t(m_postmasterPid), SIGQUIT);
    g_postmasterPid = 0;
    m_postmasterPid = 0;
    QDir(m_dir).removeRecursively();
    m_dir.clear();
}

QString PgTestServer::address(const QString &database) const
{
    return QStringLiteral("postgresql://%1@localhost:%2/%3?host=%4").arg(userName()).arg(m_port).arg(database, m_dir);
}

QString PgTestServer::query(const QString &database, const QString &sql, QString *error) const
{
    const QStringList psql = {m_bin + QStringLiteral("/psql"),
                              QStringLiteral("-X"),
                              QStringLiteral("-q"),
                              QStringLiteral("-A"),
                              QStringLiteral("-t"),
                              QStringLiteral("-v"),
                              QStringLiteral("ON_ERROR_STOP=1"),
                              QStringLiteral("-h"),
                              m_dir,
                              QStringLiteral("-p"),
                              QString::number(m_port),
                              QStringLiteral("-U"),
                              userName(),
                              QStringLiteral("-d"),
                              database,
                              QStringLiteral("-c"),
                              sql};
    QString output;
    if (runProgram(psql, QString(), &output) != 0) {
        if (error)
            *error = output.trimmed();
        return QString();
    }
    return output.trimmed().isNull() ? QStringLiteral("") : output.trimmed();
}

bool PgTestServer::createDatabase(const QString &name, QString *error) const
{
    return !query(QStringLiteral("postgres"), QStringLiteral("CREATE DATABASE \"%1\"").arg(name), error).isNull();
}

int PgTestServer::terminateConnections(const QString &database, const QString &condition) const
{
    return query(QStringLiteral("postgres"),
                 QStringLiteral("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                                "WHERE datname = '%1' AND pid <> pg_backend_pid() AND (%2)")
                     .arg(database, condition))
        .toInt();
}

PgTestServer &PgTestServer::shared()
{
    static PgTestServer server;
    return server;
}
