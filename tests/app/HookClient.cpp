#include "HookClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QtDebug>
#include <QTest>

QJsonObject HookClient::request(QJsonObject r)
{
    const int id = ++m_nextId;
    r[QStringLiteral("id")] = id;
    m_socket->write(QJsonDocument(r).toJson(QJsonDocument::Compact) + '\n');
    QElapsedTimer clock;
    clock.start();
    // Answers to requests that timed out earlier are skipped, so that no answer is taken for
    // another request's.
    while (clock.elapsed() < 60000 && m_socket->state() == QLocalSocket::ConnectedState) {
        if (!m_socket->canReadLine()) {
            m_socket->waitForReadyRead(200);
            QCoreApplication::processEvents();
            continue;
        }
        const QJsonObject answer = QJsonDocument::fromJson(m_socket->readLine()).object();
        if (answer.value(QStringLiteral("id")).toInt() != id)
            continue;
        if (answer.contains(QStringLiteral("error")))
            qWarning().noquote() << "hook:" << answer.value(QStringLiteral("error")).toString();
        return answer;
    }
    qWarning().noquote() << "hook: no answer to" << QJsonDocument(r).toJson(QJsonDocument::Compact);
    return QJsonObject();
}

QJsonValue HookClient::eval(const QString &expression)
{
    return request({{QStringLiteral("eval"), expression}}).value(QStringLiteral("value"));
}

QString HookClient::text(const QString &objectName)
{
    return eval(QStringLiteral("(function () { var o = testHook.find(%1); return o ? String(o.text) : '' })()")
                    .arg(literal(objectName)))
        .toString();
}

bool HookClient::waitFor(const QString &expression, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    do {
        if (eval(expression).toBool())
            return true;
        QTest::qWait(100);
    } while (clock.elapsed() < timeoutMs);
    return false;
}

bool HookClient::waitForText(const QString &objectName, const QString &expected, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QString last;
    do {
        last = text(objectName);
        if (last == expected)
            return true;
        QTest::qWait(100);
    } while (clock.elapsed() < timeoutMs);
    qWarning().noquote() << objectName << "shows" << last << "instead of" << expected;
    return false;
}

bool HookClient::grab(const QString &path)
{
    return !request({{QStringLiteral("grab"), path}}).contains(QStringLiteral("error")) &&
           QFileInfo(path).size() > 1000;
}

QString HookClient::literal(const QString &text)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
}

QString HookClient::program()
{
    return qEnvironmentVariable("TW_E2E_PROGRAM");
}

QString HookClient::listen(QLocalServer &server, const QString &parent)
{
    const QString folder = QDir(parent).absoluteFilePath(QStringLiteral("hook"));
    if (!QDir().mkpath(folder) ||
        !QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return QString();
    const QString path = folder + QStringLiteral("/socket");
    return server.listen(path) ? path : QString();
}

QLocalSocket *HookClient::launch(QProcess &app, QLocalServer &server, const QString &folder, const QStringList &args,
                                 const QMap<QString, QString> &environment, const QString &outputFile)
{
    const QString serverName = server.isListening() ? server.fullServerName() : listen(server, folder);
    if (serverName.isEmpty())
        return nullptr;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
        env.insert(QString::fromLatin1(name), QDir(folder).filePath(QString::fromLatin1(name)));
    env.insert(QStringLiteral("TW_TEST_HOOK"), serverName);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("QT_QUICK_BACKEND"));
    for (auto it = environment.begin(); it != environment.end(); ++it)
        env.insert(it.key(), it.value());
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.setStandardOutputFile(outputFile);
    app.start(program(), args);
    if (!app.waitForStarted(10000) || !server.waitForNewConnection(60000))
        return nullptr;
    return server.nextPendingConnection();
}

bool HookClient::focusProgramWindow()
{
    QProcess search;
    search.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                             QStringLiteral("--name"), QStringLiteral("Tarrowind")});
    if (!search.waitForFinished(20000) || search.exitCode() != 0)
        return false;
    const QString window = QString::fromLatin1(search.readAllStandardOutput()).split(QLatin1Char('\n')).first();
    return QProcess::execute(QStringLiteral("xdotool"),
                             {QStringLiteral("windowfocus"), QStringLiteral("--sync"), window}) == 0;
}
