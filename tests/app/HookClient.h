#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QString>
#include <QStringList>

class QLocalServer;
class QLocalSocket;
class QProcess;

// The test's side of the program's test hook (TW_TEST_HOOK): one JSON request per line, one
// answer per line. Every wait has a deadline.
class HookClient
{
public:
    void setSocket(QLocalSocket *socket) { m_socket = socket; }

    QJsonObject request(QJsonObject r);
    QJsonValue eval(const QString &expression);
    // The text of a named object of the window, "" when there is none.
    QString text(const QString &objectName);
    bool waitFor(const QString &expression, int timeoutMs);
    bool waitForText(const QString &objectName, const QString &expected, int timeoutMs);
    bool grab(const QString &path);

    // A string as a script literal.
    static QString literal(const QString &text);

    // The test copy of the program, the one that carries the hook.
    static QString program();
    // Listens in a folder of its own under `parent`, closed to other users as the hook demands;
    // returns the socket's absolute path for TW_TEST_HOOK, or "" on failure.
    static QString listen(QLocalServer &server, const QString &parent);
    // Starts the test copy of the program in `app` with `args`, on the X server, with a home of
    // its own under `folder` (settings, run log, caches never touch the user's), `environment`
    // on top and its output in `outputFile`. Returns the hook's connection, null when the
    // program did not start or connect within a minute.
    // Gives the program's window the X keyboard focus (xdotool), so typed keys reach it.
    static bool focusProgramWindow();

    static QLocalSocket *launch(QProcess &app, QLocalServer &server, const QString &folder, const QStringList &args,
                                const QMap<QString, QString> &environment, const QString &outputFile);

private:
    QLocalSocket *m_socket = nullptr;
    int m_nextId = 0;
};
