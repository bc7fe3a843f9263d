// Qt Quick Test runner for the user interface's documents and scripts. Every test file gets its
// own engine with its own local-storage folder, the program's QML types, and `testSupport`:
// file helpers and a loopback HTTP server that stands in for the firmware archive.

#include "app/AppMetatypes.h"
#include "app/QmlRegistration.h"
#include "bootloader/FirmwareMeta.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QQmlContext>
#include <QQmlEngine>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtQuickTest>

namespace {

// Answers GET requests from a fixed table; a path mapped to status 0 has its connection
// closed without an answer, one mapped to -1 is never answered.
class TinyHttpServer : public QObject
{
public:
    struct Answer {
        int status;
        QByteArray body;
    };

    explicit TinyHttpServer(QObject *parent = nullptr) : QObject(parent)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection())
                serve(socket);
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    QString base() const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_server.serverPort()); }
    void set(const QString &path, int status, const QByteArray &body) { m_answers[path] = {status, body}; }

private:
    void serve(QTcpSocket *socket)
    {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            QByteArray &request = m_requests[socket];
            request += socket->readAll();
            if (!request.contains("\r\n\r\n"))
                return;
            const QList<QByteArray> words = request.left(request.indexOf("\r\n")).split(' ');
            m_requests.remove(socket);
            const QString path = words.size() > 1 ? QString::fromLatin1(words[1]).mid(1) : QString();
            const Answer answer = m_answers.value(path, Answer{404, QByteArray("not here")});
            if (answer.status == 0) {
                socket->abort();
                return;
            }
            if (answer.status < 0)
                return;
            QByteArray response = "HTTP/1.1 " + QByteArray::number(answer.status) +
                                  (answer.status == 200 ? " OK" : " Error") +
                                  "\r\nContent-Length: " + QByteArray::number(answer.body.size()) +
                                  "\r\nConnection: close\r\n\r\n" + answer.body;
            socket->write(response);
            socket->disconnectFromHost();
        });
    }

    QTcpServer m_server;
    QHash<QString, Answer> m_answers;
    QHash<QTcpSocket *, QByteArray> m_requests;
};

class QmlTestSupport : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString httpBase READ httpBase CONSTANT)
    Q_PROPERTY(int firmwarePayloadSize READ firmwarePayloadSize CONSTANT)

public:
    explicit QmlTestSupport(QObject *parent = nullptr) : QObject(parent)
    {
        FirmwareMeta image;
        QByteArray payload(kPayloadSize, Qt::Uninitialized);
        for (char &c : payload)
            c = char(QRandomGenerator::global()->bounded(256));
        image.setPayload(payload);
        image.setMajor(0);
        image.setMinor(1);
        image.setPatchLevel(4470);
        image.generateChecksum();
        const QByteArray good = image.payload() + image.trailer();
        QByteArray corrupt = good;
        corrupt[100] = char(corrupt[100] ^ 0x5a);

        const QByteArray meta = R"({"meta": {"latest": "tarrowind-0.1.4470.fw"}})";
        m_http.set(QStringLiteral("good/firmware_meta.json"), 200, meta);
        m_http.set(QStringLiteral("good/tarrowind-0.1.4470.fw"), 200, good);
        m_http.set(QStringLiteral("corrupt/firmware_meta.json"), 200, meta);
        m_http.set(QStringLiteral("corrupt/tarrowind-0.1.4470.fw"), 200, corrupt);
        m_http.set(QStringLiteral("notfirmware/firmware_meta.json"), 200, meta);
        m_http.set(QStringLiteral("notfirmware/tarrowind-0.1.4470.fw"), 200, QByteArray(3000, 'x'));
        m_http.set(QStringLiteral("imagegone/firmware_meta.json"), 200, meta);
        m_http.set(QStringLiteral("badmeta/firmware_meta.json"), 200, "<html>maintenance</html>");
        m_http.set(QStringLiteral("escape/firmware_meta.json"), 200,
                   R"({"meta": {"latest": "../good/tarrowind-0.1.4470.fw"}})");
        m_http.set(QStringLiteral("drop/firmware_meta.json"), 0, QByteArray());
        m_http.set(QStringLiteral("silent/firmware_meta.json"), -1, QByteArray());
    }

    QString httpBase() const { return m_http.base(); }
    int firmwarePayloadSize() const { return kPayloadSize; }

    // A fresh empty folder for one test.
    Q_INVOKABLE QString newFolder()
    {
        const QString path = m_dir.filePath(QStringLiteral("f%1").arg(++m_folders));
        QDir().mkpath(path);
        return path;
    }
    Q_INVOKABLE bool writeTextFile(const QString &path, const QString &text)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0;
    }
    Q_INVOKABLE QString readTextFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    Q_INVOKABLE QStringList listFiles(const QString &folder) { return QDir(folder).entryList(QDir::Files, QDir::Name); }

private:
    static constexpr int kPayloadSize = 20000;
    QTemporaryDir m_dir;
    TinyHttpServer m_http;
    int m_folders = 0;
};

class Setup : public QObject
{
    Q_OBJECT
public slots:
    void applicationAvailable()
    {
        registerQmlTypes();
        registerAppMetatypes();
        m_support = new QmlTestSupport(this);
    }

    void qmlEngineAvailable(QQmlEngine *engine)
    {
        engine->setOfflineStoragePath(m_support->newFolder());
        // The documents reach the host through `runtime`; tests hand theirs in explicitly.
        engine->rootContext()->setContextProperty(QStringLiteral("runtime"), static_cast<QObject *>(nullptr));
        engine->rootContext()->setContextProperty(QStringLiteral("testSupport"), m_support);
    }

private:
    QmlTestSupport *m_support = nullptr;
};

}  // namespace

QUICK_TEST_MAIN_WITH_SETUP(app_qml, Setup)

#include "QmlTestMain.moc"
