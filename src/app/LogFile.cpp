#include "LogFile.h"

#include "AppMetatypes.h"
#include "LogSignaller.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMetaObject>
#include <QMetaType>
#include <QQmlEngine>
#include <cstdio>

namespace {
FILE *g_file = nullptr;
QtMessageHandler g_previousHandler = nullptr;
QElapsedTimer g_clock;
LogSignaller *g_signaller = nullptr;

bool isNoise(const QString &text)
{
    // Both come from the web view that displays the log itself.
    return text.startsWith(QLatin1String(
               "QMetaProperty::read: Unable to handle unregistered datatype 'QQmlWebChannel*'"))
        || text.startsWith(QLatin1String("js: Uncaught ReferenceError: writeEscaped"));
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (isNoise(text))
        return;

    const QString line = formatLogLine(type, g_clock.elapsed() / 1000.0, text);
    if (FILE *file = g_file) {
        const QByteArray bytes = line.toLocal8Bit();
        fwrite(bytes.constData(), 1, size_t(bytes.size()), file);
        fputc('\n', file);
        fflush(file);
    }
    if (LogSignaller *signaller = g_signaller) {
        QMetaObject::invokeMethod(signaller, "logMessageSlot", Qt::AutoConnection,
                                  Q_ARG(QtMsgType, type), Q_ARG(QString, line));
    }
    if (g_previousHandler)
        g_previousHandler(type, context, text);
}
}  // namespace

QString formatLogLine(QtMsgType severity, double seconds, const QString &text)
{
    const char *format;
    switch (severity) {
    case QtDebugMsg: format = "%1 [Debug]: %2"; break;
    case QtWarningMsg: format = "%1 [Warn ]: %2"; break;
    case QtCriticalMsg: format = "%1 [Crit ]: %2"; break;
    case QtFatalMsg: format = "%1 [Fatal]: %2"; break;
    default: format = "%1 [Info ]: %2"; break;
    }
    const QString stamp = QStringLiteral("%1").arg(seconds, 11, 'f', 2, QLatin1Char('0'));
    return QString::fromLatin1(format).arg(stamp, text).trimmed();
}

void installLogFile(const QString &path)
{
    registerAppMetatypes();
    g_signaller = new LogSignaller();
    QQmlEngine::setObjectOwnership(g_signaller, QQmlEngine::CppOwnership);

    QDir().mkpath(QFileInfo(path).absolutePath());
    g_file = fopen(QFile::encodeName(path).constData(), "wb");
    if (g_file)
        g_previousHandler = qInstallMessageHandler(messageHandler);
    g_clock.start();
}

void closeLogFile()
{
    if (g_file) {
        qInstallMessageHandler(g_previousHandler);
        g_previousHandler = nullptr;
        FILE *file = g_file;
        g_file = nullptr;
        fclose(file);
    }
    delete g_signaller;
    g_signaller = nullptr;
}

LogSignaller *logSignaller()
{
    return g_signaller;
}
