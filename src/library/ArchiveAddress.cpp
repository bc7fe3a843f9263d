#include "library/ArchiveAddress.h"

#include <QSqlDatabase>
#include <QStringList>

namespace {

const char kPasswordRefused[] =
    "The archive address carries a password, which is never kept in an address or in the settings: "
    "put it in ~/.pgpass (or the file named by PGPASSFILE), where PostgreSQL's own tools read it too";

const QStringList kSslModes = {QStringLiteral("disable"), QStringLiteral("allow"),     QStringLiteral("prefer"),
                               QStringLiteral("require"), QStringLiteral("verify-ca"), QStringLiteral("verify-full")};

QString decoded(const QString &part)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(part.toUtf8()));
}

// Connection options reach libpq inside a "key=value key=value" string: a value with a space,
// a quote or a semicolon could add options of its own.
bool isPlainOptionValue(const QString &value)
{
    if (value.isEmpty())
        return false;
    for (QChar c : value)
        if (!(c.isLetterOrNumber() || c == '_' || c == '-' || c == '.' || c == '/'))
            return false;
    return true;
}

bool parsePort(const QString &text, int *port)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 1 || value > 65535 || text.startsWith('+'))
        return false;
    *port = value;
    return true;
}

}  // namespace

ArchiveAddress ArchiveAddress::parse(const QString &text)
{
    ArchiveAddress a;
    auto fail = [&a](const QString &why) {
        a.m_error = why;
        return a;
    };
    const QString t = text.trimmed();
    QString rest;  // after the scheme
    for (const char *scheme : {"postgresql://", "postgres://"})
        if (t.startsWith(QLatin1String(scheme), Qt::CaseInsensitive))
            rest = t.mid(int(qstrlen(scheme)));
    if (rest.isNull())
        return fail(QStringLiteral("The archive address must start with postgresql://"));

    // The user part first: a password may hold '/', '?' or '@', so whatever precedes the last
    // '@' is what the user typed as "user:password".
    const int at = rest.lastIndexOf('@');
    if (at >= 0) {
        const QString userInfo = rest.left(at);
        if (userInfo.contains(':'))
            return fail(QLatin1String(kPasswordRefused));
        if (userInfo.contains('/') || userInfo.contains('?'))
            return fail(QStringLiteral("The archive address has an '@' after its host; write an '@' in a name or "
                                       "path as %40"));
        a.m_user = decoded(userInfo);
        if (a.m_user.isEmpty())
            return fail(QStringLiteral("The archive address has an empty user name before '@'"));
        rest = rest.mid(at + 1);
    }
    const int question = rest.indexOf('?');
    const QString query = question < 0 ? QString() : rest.mid(question + 1);
    const QString beforeQuery = question < 0 ? rest : rest.left(question);
    const int slash = beforeQuery.indexOf('/');
    const QString hostPort = slash < 0 ? beforeQuery : beforeQuery.left(slash);
    a.m_database = slash < 0 ? QString() : decoded(beforeQuery.mid(slash + 1));

    QString portText;
    if (hostPort.startsWith('[')) {
        const int close = hostPort.indexOf(']');
        if (close < 0)
            return fail(QStringLiteral("The archive address has an unclosed '[' in its host"));
        a.m_host = hostPort.mid(1, close - 1);
        const QString after = hostPort.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(':'))
            return fail(QStringLiteral("The archive address has text after its host's ']'"));
        portText = after.mid(1);
    } else {
        const int colon = hostPort.lastIndexOf(':');
        a.m_host = decoded(colon < 0 ? hostPort : hostPort.left(colon));
        portText = colon < 0 ? QString() : hostPort.mid(colon + 1);
    }
    if (!portText.isNull() && !parsePort(portText, &a.m_port))
        return fail(QStringLiteral("The archive address's port is not a number from 1 to 65535"));

    QStringList options;
    bool timeoutGiven = false;
    for (const QString &pair : query.split('&', Qt::SkipEmptyParts)) {
        const int eq = pair.indexOf('=');
        const QString key = decoded(eq < 0 ? pair : pair.left(eq));
        const QString value = eq < 0 ? QString() : decoded(pair.mid(eq + 1));
        if (key == QLatin1String("password") || key == QLatin1String("passfile"))
            return fail(QLatin1String(kPasswordRefused));
        if (key == QLatin1String("host")) {
            a.m_host = value;
        } else if (key == QLatin1String("port")) {
            if (!parsePort(value, &a.m_port))
                return fail(QStringLiteral("The archive address's port is not a number from 1 to 65535"));
        } else if (key == QLatin1String("user")) {
            a.m_user = value;
        } else if (key == QLatin1String("sslmode") || key == QLatin1String("sslrootcert") ||
                   key == QLatin1String("connect_timeout") || key == QLatin1String("application_name") ||
                   key == QLatin1String("target_session_attrs")) {
            if (!isPlainOptionValue(value))
                return fail(QStringLiteral("The archive address's %1 has an unusable value").arg(key));
            if (key == QLatin1String("sslmode")) {
                if (!kSslModes.contains(value))
                    return fail(QStringLiteral("The archive address's sslmode is not one of %1")
                                    .arg(kSslModes.join(QStringLiteral(", "))));
                a.m_sslMode = value;
            } else if (key == QLatin1String("sslrootcert")) {
                a.m_sslRootCert = value;
            } else {
                timeoutGiven = timeoutGiven || key == QLatin1String("connect_timeout");
                options << key + '=' + value;
            }
        } else {
            return fail(QStringLiteral("The archive address has a parameter this program does not take (it takes "
                                       "host, port, user, sslmode, sslrootcert, connect_timeout, application_name "
                                       "and target_session_attrs)"));
        }
    }
    // libpq's own default (prefer) takes any certificate and falls back to plain text.
    const QString mode =
        a.m_sslMode.isEmpty() && !a.m_host.startsWith('/') ? QStringLiteral("verify-full") : a.m_sslMode;
    QStringList ssl;
    if (!mode.isEmpty())
        ssl << QStringLiteral("sslmode=") + mode;
    if (!a.m_sslRootCert.isEmpty())
        ssl << QStringLiteral("sslrootcert=") + a.m_sslRootCert;
    else if (mode.startsWith(QLatin1String("verify-")))
        ssl << QStringLiteral("sslrootcert=") + QLatin1String(kSystemAuthorities);
    options = ssl + options;
    // Without a limit, an unreachable server holds a save for minutes before it goes offline.
    if (!timeoutGiven)
        options << QStringLiteral("connect_timeout=10");
    a.m_options = options.join(';');

    if (a.m_database.isEmpty())
        return fail(QStringLiteral("The archive address names no database (postgresql://host/DATABASE)"));
    if (a.m_database.contains('/'))
        return fail(QStringLiteral("The archive address's database name contains '/'"));
    return a;
}

QString ArchiveAddress::displayText() const
{
    const bool socket = m_host.startsWith('/');
    QString text = QStringLiteral("postgresql://");
    if (!m_user.isEmpty())
        text += m_user + '@';
    if (!socket)
        text += m_host.contains(':') ? '[' + m_host + ']' : m_host;
    if (m_port > 0)
        text += ':' + QString::number(m_port);
    text += '/' + m_database;
    QStringList query;
    if (socket)
        query << QStringLiteral("host=") + m_host;
    if (!m_sslMode.isEmpty())
        query << QStringLiteral("sslmode=") + m_sslMode;
    if (!m_sslRootCert.isEmpty())
        query << QStringLiteral("sslrootcert=") + m_sslRootCert;
    if (!query.isEmpty())
        text += '?' + query.join('&');
    return text;
}

QString ArchiveAddress::connectionHint(const QString &message) const
{
    if (m_host.startsWith('/'))
        return QString();
    if (message.contains(QLatin1String("does not support SSL")))
        return QStringLiteral("; the archive's server offers no encryption: turn TLS on there (ssl = on), or add "
                              "?sslmode=disable to the address only on a network you trust");
    if (message.contains(QLatin1String("certificate"), Qt::CaseInsensitive) ||
        message.contains(QLatin1String("SSL error"), Qt::CaseInsensitive))
        return QStringLiteral("; the archive's certificate could not be verified against %1: if the team's server "
                              "has a certificate authority of its own, add ?sslrootcert=/path/to/its-authority.crt "
                              "to the address")
            .arg(m_sslRootCert.isEmpty() ? QLatin1String(kSystemAuthorities) : m_sslRootCert);
    return QString();
}

void ArchiveAddress::applyTo(QSqlDatabase &db) const
{
    db.setHostName(m_host);
    db.setPort(m_port);
    db.setUserName(m_user);
    db.setPassword(QString());
    db.setDatabaseName(m_database);
    db.setConnectOptions(m_options);
}

QString ArchiveAddress::configured(const QString &option, const QString &setting)
{
    if (!option.trimmed().isEmpty())
        return option.trimmed();
    const QString variable = qEnvironmentVariable("TW_ARCHIVE");
    if (!variable.trimmed().isEmpty())
        return variable.trimmed();
    return setting.trimmed();
}

bool ArchiveAddress::isAddress(const QString &text)
{
    const QString t = text.trimmed();
    return t.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive) ||
           t.startsWith(QLatin1String("postgres://"), Qt::CaseInsensitive);
}
