#include "TestHook.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJSValue>
#include <QLocalSocket>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickWindow>

#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int kProbeIntervalMs = 4;

QQuickWindow *applicationWindow()
{
    for (QWindow *window : QGuiApplication::topLevelWindows()) {
        if (auto *quick = qobject_cast<QQuickWindow *>(window); quick && quick->isVisible())
            return quick;
    }
    return nullptr;
}

QJsonValue toJson(const QVariant &value)
{
    QVariant plain = value;
    if (plain.userType() == qMetaTypeId<QJSValue>())
        plain = plain.value<QJSValue>().toVariant();
    if (plain.canConvert<QObject *>() && plain.userType() != QMetaType::QString)
        if (QObject *object = plain.value<QObject *>())
            return QJsonValue(QString::fromLatin1(object->metaObject()->className()));
    return QJsonValue::fromVariant(plain);
}
}  // namespace

QString TestHook::refusalOf(const QString &serverName)
{
    // A bare name would resolve to a socket in the shared temporary folder, which any local
    // user can create first; a folder only we can enter keeps the socket ours.
    if (!serverName.startsWith(QLatin1Char('/')))
        return QStringLiteral("the socket is not an absolute path");
    const QByteArray folder = QFileInfo(serverName).absolutePath().toLocal8Bit();
    struct stat st {
    };
    if (lstat(folder.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return QStringLiteral("the socket's folder does not exist");
    if (st.st_uid != geteuid())
        return QStringLiteral("the socket's folder belongs to another user");
    if ((st.st_mode & 07777) != 0700)
        return QStringLiteral("the socket's folder is open to others");
    return QString();
}

void TestHook::installFromEnvironment(QQmlApplicationEngine *engine)
{
    const QString serverName = QString::fromLocal8Bit(qgetenv("TW_TEST_HOOK"));
    if (serverName.isEmpty())
        return;
    if (const QString refusal = refusalOf(serverName); !refusal.isEmpty()) {
        qWarning().noquote() << "test hook refused:" << refusal;
        return;
    }
    auto *hook = new TestHook(engine, serverName);
    engine->rootContext()->setContextProperty(QStringLiteral("testHook"), hook);
}

TestHook::TestHook(QQmlApplicationEngine *engine, const QString &serverName)
    : QObject(engine), m_engine(engine), m_socket(new QLocalSocket(this))
{
    connect(m_socket, &QLocalSocket::readyRead, this, [this] {
        m_buffer += m_socket->readAll();
        for (int end = m_buffer.indexOf('\n'); end >= 0; end = m_buffer.indexOf('\n')) {
            const QByteArray line = m_buffer.left(end);
            m_buffer.remove(0, end + 1);
            handleLine(line);
        }
    });
    m_socket->connectToServer(serverName);

    m_probeTimer.setTimerType(Qt::PreciseTimer);
    m_probeTimer.setInterval(kProbeIntervalMs);
    connect(&m_probeTimer, &QTimer::timeout, this, &TestHook::probeTick);
    m_probeClock.start();
    // Watches for the window's first exposure, which comes before its first frame.
    qApp->installEventFilter(this);
}

bool TestHook::eventFilter(QObject *watched, QEvent *event)
{
    auto *window = qobject_cast<QQuickWindow *>(watched);
    if (event->type() == QEvent::Expose && window && !m_frameWatched) {
        m_frameWatched = true;
        qApp->removeEventFilter(this);
        // Emitted in the render thread, where the frame was swapped: the time is taken there.
        connect(
            window, &QQuickWindow::frameSwapped, this,
            [this] {
                qint64 none = -1;
                m_firstFrameEpochMs.compare_exchange_strong(none, QDateTime::currentMSecsSinceEpoch());
            },
            Qt::DirectConnection);
    }
    return QObject::eventFilter(watched, event);
}

void TestHook::report(const QVariant &value)
{
    m_reported = value;
}

void TestHook::probeTick()
{
    const qint64 now = m_probeClock.nsecsElapsed();
    if (m_lastTickNs > 0)
        m_longestGapNs = std::max(m_longestGapNs, now - m_lastTickNs);
    m_lastTickNs = now;
    ++m_ticks;
}

QVariant TestHook::evaluate(const QString &expression, QString *error) const
{
    const QList<QObject *> roots = m_engine->rootObjects();
    if (roots.isEmpty()) {
        *error = QStringLiteral("no root object");
        return {};
    }
    QQmlExpression e(qmlContext(roots.first()), roots.first(), expression);
    const QVariant value = e.evaluate();
    if (e.hasError())
        *error = e.error().toString();
    return value;
}

QObject *TestHook::find(const QString &objectName) const
{
    // A popped screen lives on, hidden, until it is destroyed: where a name is found twice, what
    // is shown wins, so a test never talks to a page on its way out.
    QObject *first = nullptr;
    const auto shown = [&first](const QList<QObject *> &found) -> QObject * {
        for (QObject *object : found) {
            if (!first)
                first = object;
            const auto *item = qobject_cast<QQuickItem *>(object);
            if (item && item->isVisible())
                return object;
        }
        return nullptr;
    };
    if (QQuickWindow *window = applicationWindow())
        if (QObject *found = shown(window->findChildren<QObject *>(objectName)))
            return found;
    for (QObject *root : m_engine->rootObjects())
        if (QObject *found = shown(root->findChildren<QObject *>(objectName)))
            return found;
    return first;
}

void TestHook::handleLine(const QByteArray &line)
{
    const QJsonObject request = QJsonDocument::fromJson(line).object();
    QJsonObject answer{{QStringLiteral("id"), request.value(QStringLiteral("id"))}};
    QString error;
    if (request.contains(QStringLiteral("eval"))) {
        answer[QStringLiteral("value")] = toJson(evaluate(request.value(QStringLiteral("eval")).toString(), &error));
    } else if (request.contains(QStringLiteral("property"))) {
        const QJsonArray what = request.value(QStringLiteral("property")).toArray();
        if (QObject *object = find(what.at(0).toString()))
            answer[QStringLiteral("value")] = toJson(object->property(what.at(1).toString().toLatin1().constData()));
        else
            error = QStringLiteral("no object named ") + what.at(0).toString();
    } else if (request.contains(QStringLiteral("grab"))) {
        QQuickWindow *window = applicationWindow();
        if (!window || !window->grabWindow().save(request.value(QStringLiteral("grab")).toString()))
            error = QStringLiteral("could not grab the window");
    } else if (request.contains(QStringLiteral("probe"))) {
        // The fast timer wakes the GUI thread 250 times a second: it runs only from a reset to
        // the read that ends the measurement.
        if (request.value(QStringLiteral("probe")).toString() == QLatin1String("reset")) {
            m_longestGapNs = 0;
            m_ticks = 0;
            m_lastTickNs = m_probeClock.nsecsElapsed();
            m_probeTimer.start();
        } else if (m_probeTimer.isActive()) {
            probeTick();
            m_probeTimer.stop();
        }
        answer[QStringLiteral("longestStallMs")] =
            std::max<qint64>(0, m_longestGapNs - kProbeIntervalMs * 1000000LL) / 1e6;
        answer[QStringLiteral("ticks")] = m_ticks;
        answer[QStringLiteral("firstFrameEpochMs")] = double(m_firstFrameEpochMs.load());
    } else if (request.contains(QStringLiteral("take"))) {
        answer[QStringLiteral("value")] = toJson(m_reported);
        m_reported = QVariant();
    } else {
        error = QStringLiteral("unknown request");
    }
    if (!error.isEmpty())
        answer[QStringLiteral("error")] = error;
    m_socket->write(QJsonDocument(answer).toJson(QJsonDocument::Compact) + '\n');
}
