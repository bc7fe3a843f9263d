#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVariant>

#include <atomic>

class QLocalSocket;
class QQmlApplicationEngine;

// Lets an end-to-end test look into the running program. Built only into the test copy of the
// program (tarrowind-utility-e2e), never into the one users run. Enabled only when the
// environment variable TW_TEST_HOOK names a local socket by its absolute path in a folder of the
// current user's with mode 0700; the program connects to it and answers one JSON request per
// line:
//   {"id": n, "eval": "expression"}        the expression's value, evaluated in the root document
//   {"id": n, "property": ["objectName", "name"]}  a property of a named object of the window
//   {"id": n, "grab": "/path.png"}         saves a picture of the window
//   {"id": n, "probe": "reset" | "read"}   the longest GUI-thread stall since the last reset
//                                          (the probe runs from a reset to the next read), and
//                                          the wall-clock time of the window's first frame
//   {"id": n, "take": true}                the value last handed to testHook.report()
// Scripts reach the hook as `testHook`: report() keeps a value from an asynchronous callback,
// find() returns a named object of the window or of the root document.
class TestHook : public QObject
{
    Q_OBJECT
public:
    // Call before the root document is loaded.
    static void installFromEnvironment(QQmlApplicationEngine *engine);

    // Why the socket path is not trusted, or "" when it is.
    static QString refusalOf(const QString &serverName);

    Q_INVOKABLE void report(const QVariant &value);
    Q_INVOKABLE QObject *find(const QString &objectName) const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    TestHook(QQmlApplicationEngine *engine, const QString &serverName);
    void handleLine(const QByteArray &line);
    QVariant evaluate(const QString &expression, QString *error) const;
    void probeTick();

    QQmlApplicationEngine *m_engine;
    QLocalSocket *m_socket;
    QByteArray m_buffer;
    QVariant m_reported;
    // A fast timer on the GUI thread: any late tick is time the thread spent elsewhere.
    QTimer m_probeTimer;
    QElapsedTimer m_probeClock;
    qint64 m_lastTickNs = 0;
    qint64 m_longestGapNs = 0;
    qint64 m_ticks = 0;
    bool m_frameWatched = false;
    std::atomic<qint64> m_firstFrameEpochMs{-1};
};
