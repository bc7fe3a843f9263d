// Qt Quick Test runner for the user interface's documents and scripts. Every test file gets its
// own engine with its own local-storage folder, the program's QML types, and `testSupport`:
// file helpers and a loopback HTTP server that stands in for the firmware archive. A warning from
// our own documents (a TypeError in a handler, a broken binding) fails the run even where no
// test looks at what it broke.

#include "app/AppMetatypes.h"
#include "app/QmlRegistration.h"
#include "app/Runtime.h"
#include "bootloader/FirmwareArchive.h"
#include "bootloader/FirmwareMeta.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QProcess>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlError>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtQuickTest>
#include <QtTest>

#include <cstdio>

namespace {

// Answers GET requests from a fixed table; a path mapped to status 0 has its connection
// closed without an answer, one mapped to -1 is never answered, one that stalls sends half its
// body and then nothing.
class TinyHttpServer : public QObject
{
public:
    struct Answer {
        int status;
        QByteArray body;
        QByteArray location = {};
        bool stall = false;
        bool announceLength = true;
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
    void set(const QString &path, const Answer &answer) { m_answers[path] = answer; }

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
                                  (answer.status == 200 ? " OK" : " Error") + "\r\nConnection: close\r\n";
            if (!answer.location.isEmpty())
                response += "Location: " + answer.location + "\r\n";
            if (answer.announceLength)
                response += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n";
            socket->write(response + "\r\n" + (answer.stall ? answer.body.left(answer.body.size() / 2) : answer.body));
            if (!answer.stall)
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
    Q_PROPERTY(QStringList badFirmwareNames READ badNames CONSTANT)

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
        m_good = good;
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
        const QByteArray base = m_http.base().toUtf8(), name = "/tarrowind-0.1.4470.fw";
        for (const char *folder : {"moved", "huge", "stall"})
            m_http.set(QString::fromLatin1(folder) + QStringLiteral("/firmware_meta.json"), 200, meta);
        m_http.set(QStringLiteral("moved/firmware_meta.json"), {302, {}, base + "good/firmware_meta.json"});
        m_http.set(QStringLiteral("moved") + name, {302, {}, base + "good" + name});
        m_http.set(QStringLiteral("away/firmware_meta.json"),
                   {302, {}, QByteArray(base).replace("127.0.0.1", "localhost") + "good" + name});
        // Past the cap without saying so in advance: the stream itself is cut off.
        m_http.set(QStringLiteral("huge") + name,
                   {200, QByteArray(FirmwareArchive::kImageLimit + 4096, 'z'), {}, false, false});
        m_http.set(QStringLiteral("stall") + name, {200, good, {}, true});
        // Names a server may not choose, each served with the good image; and one it may.
        for (int i = 0; i < badNames().size(); ++i) {
            const QString folder = QStringLiteral("badname%1/").arg(i);
            m_http.set(folder + QStringLiteral("firmware_meta.json"), 200,
                       QJsonDocument(QJsonObject{{"meta", QJsonObject{{"latest", badNames()[i]}}}}).toJson());
            m_http.set(folder + badNames()[i], 200, good);
        }
        m_http.set(QStringLiteral("console/firmware_meta.json"), 200, R"({"meta": {"latest": "CONSOLE_1.2.fw"}})");
        m_http.set(QStringLiteral("console/CONSOLE_1.2.fw"), 200, good);
        m_http.set(QStringLiteral("drop/firmware_meta.json"), 0, QByteArray());
        m_http.set(QStringLiteral("silent/firmware_meta.json"), -1, QByteArray());
    }

    // What the documents may use on the real host (`runtime`) that a test's stand-in lacks.
    Q_INVOKABLE QStringList missingFromHost(QObject *standIn) const
    {
        QSet<QByteArray> has;
        const QMetaObject *own = standIn->metaObject();
        for (int i = 0; i < own->methodCount(); ++i)
            has.insert(own->method(i).name());
        for (int i = 0; i < own->propertyCount(); ++i)
            has.insert(own->property(i).name());
        QStringList missing;
        const QMetaObject &real = Runtime::staticMetaObject;
        for (int i = real.methodOffset(); i < real.methodCount(); ++i)
            if (real.method(i).access() == QMetaMethod::Public && !has.contains(real.method(i).name()))
                missing << QString::fromLatin1(real.method(i).methodSignature());
        for (int i = real.propertyOffset(); i < real.propertyCount(); ++i)
            if (!has.contains(real.property(i).name()))
                missing << QString::fromLatin1(real.property(i).name());
        return missing;
    }

    QString httpBase() const { return m_http.base(); }
    static QStringList badNames()
    {
        return {".bashrc",
                ".hidden.fw",
                "CON",
                "con.fw",
                "Com1.tar.fw",
                "LPT9.fw",
                "nul.x.fw",
                "tarrowind.fw.sh",
                "tarrowind-0.1.4470.FW",
                "a;b.fw",
                "~.fw"};
    }
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
    Q_INVOKABLE bool holdsTheGoodImage(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) && file.readAll() == m_good;
    }
    // tarrowind-cli run with the archive at `folder` of the loopback server (this process serves
    // it, so the event loop turns meanwhile): { status, out, err }.
    Q_INVOKABLE QVariantMap runCli(const QString &folder, const QStringList &args)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TW_FIRMWARE_ARCHIVE"), m_http.base() + folder + QLatin1Char('/'));
        p.setProcessEnvironment(env);
        QEventLoop loop;
        connect(&p, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
        QTimer::singleShot(90000, &loop, &QEventLoop::quit);
        p.start(qEnvironmentVariable("TW_BIN_DIR") + QStringLiteral("/tarrowind-cli"), args);
        if (p.waitForStarted(10000))
            loop.exec();
        return {{QStringLiteral("status"), p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1},
                {QStringLiteral("out"), QString::fromUtf8(p.readAllStandardOutput())},
                {QStringLiteral("err"), QString::fromUtf8(p.readAllStandardError())}};
    }

private:
    static constexpr int kPayloadSize = 20000;
    QTemporaryDir m_dir;
    TinyHttpServer m_http;
    QByteArray m_good;
    int m_folders = 0;
};

// Errors the engine reports in our documents (resources other than Qt's own, also under qrc:/,
// and the test documents): a TypeError in a handler, a broken binding, a binding loop.
QStringList g_ownWarnings;

void recordOwnWarnings(const QList<QQmlError> &warnings)
{
    static const QRegularExpression ours(QStringLiteral("^qrc:/+(?!qt-project\\.org/)|") +
                                         QRegularExpression::escape(QStringLiteral(QUICK_TEST_SOURCE_DIR)));
    for (const QQmlError &warning : warnings)
        if (ours.match(warning.url().toString()).hasMatch())
            g_ownWarnings << QString::fromLatin1(QTest::currentTestFunction()) + QStringLiteral(": ") +
                                 warning.toString();
}

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
        connect(engine, &QQmlEngine::warnings, this, &recordOwnWarnings);
        engine->setOfflineStoragePath(m_support->newFolder());
        // The documents reach the host through `runtime`; tests hand theirs in explicitly.
        engine->rootContext()->setContextProperty(QStringLiteral("runtime"), static_cast<QObject *>(nullptr));
        engine->rootContext()->setContextProperty(QStringLiteral("testSupport"), m_support);
    }

private:
    QmlTestSupport *m_support = nullptr;
};

}  // namespace

int main(int argc, char **argv)
{
    QTEST_SET_MAIN_SOURCE_PATH
    Setup setup;
    int failures = quick_test_main_with_setup(argc, argv, "app_qml", QUICK_TEST_SOURCE_DIR, &setup);
    if (!g_ownWarnings.isEmpty()) {
        std::fprintf(stderr, "FAIL: %d warning(s) from our own QML:\n%s\n", int(g_ownWarnings.size()),
                     qPrintable(g_ownWarnings.join(QLatin1Char('\n'))));
        failures += g_ownWarnings.size();
    }
    return failures;
}

#include "QmlTestMain.moc"
