#include "LogFile.h"

#include "AppMetatypes.h"
#include "LogSignaller.h"

#include <cstdio>
#include <mutex>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMetaObject>
#include <QMetaType>
#include <QQmlEngine>
#include <QThread>

namespace {
// Messages arrive from any thread, also while closeLogFile runs: the file, the previous handler
// and the signaller are read and changed under this lock only. Recursive, so that a message
// logged by Qt while we post the forwarding does not deadlock.
std::recursive_mutex g_lock;
FILE *g_file = nullptr;
QtMessageHandler g_previousHandler = nullptr;
QElapsedTimer g_clock;
LogSignaller *g_signaller = nullptr;

bool isNoise(const QString &text)
{
    // Both come from the web view that displays the log itself.
    return text.startsWith(
               QLatin1String("QMetaProperty::read: Unable to handle unregistered datatype 'QQmlWebChannel*'")) ||
           text.startsWith(QLatin1String("js: Uncaught ReferenceError: writeEscaped"));
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (isNoise(text))
        return;

    const QString line = formatLogLine(type, g_clock.elapsed() / 1000.0, text);
    const QByteArray bytes = line.toLocal8Bit();
    LogSignaller *forwardHere = nullptr;
    QtMessageHandler previous = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(g_lock);
        if (g_file) {
            fwrite(bytes.constData(), 1, size_t(bytes.size()), g_file);
            fputc('\n', g_file);
            fflush(g_file);
        }
        if (g_signaller) {
            // Another thread's line is posted now, while the signaller surely exists. A line of
            // the signaller's own thread is delivered after the lock is released: the user
            // interface may do anything with it, and closeLogFile runs in that same thread.
            if (g_signaller->thread() == QThread::currentThread())
                forwardHere = g_signaller;
            else
                QMetaObject::invokeMethod(g_signaller, "logMessageSlot", Qt::QueuedConnection, Q_ARG(QtMsgType, type),
                                          Q_ARG(QString, line));
        }
        previous = g_previousHandler;
    }
    if (forwardHere)
        forwardHere->logMessageSlot(type, line);
    if (previous)
        previous(type, context, text);
}
}  // namespace

QString formatLogLine(QtMsgType severity, double seconds, const QString &text)
{
    const char *format;
    switch (severity) {
    case QtDebugMsg:
        format = "%1 [Debug]: %2";
        break;
    case QtWarningMsg:
        format = "%1 [Warn ]: %2";
        break;
    case QtCriticalMsg:
        format = "%1 [Crit ]: %2";
        break;
    case QtFatalMsg:
        format = "%1 [Fatal]: %2";
        break;
    default:
        format = "%1 [Info ]: %2";
        break;
    }
    const QString stamp = QStringLiteral("%1").arg(seconds, 11, 'f', 2, QLatin1Char('0'));
    return QString::fromLatin1(format).arg(stamp, text).trimmed();
}

void installLogFile(const QString &path)
{
    registerAppMetatypes();
    auto *signaller = new LogSignaller();
    QQmlEngine::setObjectOwnership(signaller, QQmlEngine::CppOwnership);

    QDir().mkpath(QFileInfo(path).absolutePath());
    FILE *file = fopen(QFile::encodeName(path).constData(), "wb");
    g_clock.start();
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    g_signaller = signaller;
    g_file = file;
    if (file)
        g_previousHandler = qInstallMessageHandler(messageHandler);
}

void closeLogFile()
{
    FILE *file = nullptr;
    LogSignaller *signaller = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(g_lock);
        // The previous handler stays known: a thread that already entered ours still passes
        // its message on to it.
        if (g_file)
            qInstallMessageHandler(g_previousHandler);
        file = g_file;
        g_file = nullptr;
        signaller = g_signaller;
        g_signaller = nullptr;
    }
    if (file)
        fclose(file);
    delete signaller;
}

LogSignaller *logSignaller()
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    return g_signaller;
}
