#include "Startup.h"

#include "AppMetatypes.h"
#include "common/NumericLocale.h"
#include "EditorEscapeFilter.h"
#include "LogFile.h"
#include "LogSignaller.h"
#include "QmlRegistration.h"
#include "serial/SerialSupport.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QStandardPaths>
#include <QThreadPool>

#include <cstdio>

#ifdef TW_HAVE_WEBVIEW
#include <QtWebView/QtWebView>
#endif

void setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Ombrellix"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("ombrellix.example"));
    QCoreApplication::setApplicationName(QStringLiteral("Tarrowind Utility"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TW_VERSION));
}

StartupMode decideStartupMode(const QStringList &arguments)
{
    if (arguments.size() >= 3 && arguments.at(1) == QLatin1String("fixftdi"))
        return StartupMode::AdapterRepair;
    const QString first = arguments.value(1);
    if (first == QLatin1String("--version"))
        return StartupMode::Version;
    if (first == QLatin1String("--help") || first == QLatin1String("-h"))
        return StartupMode::Help;
    return StartupMode::Normal;
}

QString usageText()
{
    return QStringLiteral("Usage: tarrowind-utility [--port PATH]\n"
                          "       tarrowind-utility fixftdi ACTION\n"
                          "       tarrowind-utility --version | --help\n"
                          "\n"
                          "The window of the Tarrowind Utility: connect to a Tarrowind water-meter pulse logger,\n"
                          "download, view, export and report its sessions, keep a library of logs and update the\n"
                          "logger's firmware.\n"
                          "\n"
                          "  --port PATH      use this serial port instead of finding the logger's adapter\n"
                          "                   (also --port=PATH)\n"
                          "  fixftdi ACTION   repair the adapter's set-up; the window starts this itself with\n"
                          "                   administrator rights, not meant to be typed\n"
                          "  --version        print the version and exit\n"
                          "  --help, -h       print this text and exit\n"
                          "\n"
                          "tarrowind-cli does the same work from the command line.\n");
}

QString decodeRepairArgument(const QString &base64)
{
    return QString::fromUtf8(QByteArray::fromBase64(base64.toLatin1()));
}

QString applicationDataFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

int runAdapterRepair(const QStringList &arguments)
{
    installLogFile(applicationDataFolder() + QStringLiteral("/ftdi-fix.txt"));
    initSerialSupport();
    const bool ok = ftdiElevatedFix(decodeRepairArgument(arguments.value(2)));
    closeLogFile();
    shutdownSerialSupport();
    return ok ? 0 : 1;
}

namespace {
void registerFont(const QString &path)
{
    if (QFontDatabase::addApplicationFont(path) < 0)
        qDebug() << "failure registering font";
}

bool openGlWorks()
{
    QOpenGLContext context;
    if (!context.create())
        return false;
    QOffscreenSurface surface;
    surface.setFormat(context.format());
    surface.create();
    const bool current = surface.isValid() && context.makeCurrent(&surface);
    if (current)
        context.doneCurrent();
    return current;
}

// Virtual machines, remote desktops and old drivers give no OpenGL context, and Qt Quick then
// aborts. The software renderer draws everything but shader effects (shadows), which is better
// than no window; a backend the user chose is left alone.
void chooseSceneGraphBackend()
{
    if (!qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND") || !qEnvironmentVariableIsEmpty("QMLSCENE_DEVICE"))
        return;
    if (openGlWorks())
        return;
    QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
    qInfo() << "No OpenGL context could be created: drawing with Qt Quick's software renderer";
}

int runNormalMode(int argc, char **argv, const EngineHook &beforeLoad)
{
#ifdef TW_HAVE_WEBVIEW
    QtWebView::initialize();
#endif
    QApplication app(argc, argv);
    // The application object has just adopted the user's locale for the C library: numbers in
    // every file we (and libxlsxwriter) write keep a decimal point.
    NumericLocale::pinToC();
    installLogFile(applicationDataFolder() + QStringLiteral("/runlog.txt"));
    chooseSceneGraphBackend();
    initSerialSupport();
    app.installEventFilter(new EditorEscapeFilter(&app));
    QQuickStyle::setStyle(QStringLiteral("Material"));
    registerFont(QStringLiteral(":/SourceCodePro-Regular.otf"));
    registerFont(QStringLiteral(":/Pixeled.ttf"));

    registerQmlTypes();
    // Each library registers the ones it builds on too: this reaches every library's types.
    registerAppMetatypes();

    auto *engine = new QQmlApplicationEngine();
    QObject *runtime = createRuntime();
    if (runtime)
        engine->rootContext()->setContextProperty(QStringLiteral("runtime"), runtime);
    engine->rootContext()->setContextProperty(QStringLiteral("log"), logSignaller());
    if (beforeLoad)
        beforeLoad(engine);

    engine->load(QUrl(QStringLiteral("qrc:/main.qml")));
    if (engine->rootObjects().isEmpty()) {
        shutdownNormalMode(engine, runtime);
        return -1;
    }

    const int result = app.exec();
    shutdownNormalMode(engine, runtime);
    return result;
}
}  // namespace

void shutdownNormalMode(QObject *engine, QObject *runtime)
{
    delete engine;
    delete runtime;
    QThreadPool::globalInstance()->waitForDone();
    shutdownSerialSupport();
    closeLogFile();
}

int runApplication(int argc, char **argv, const QStringList &arguments, const EngineHook &beforeLoad)
{
    setApplicationIdentity();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    if (!arguments.isEmpty())
        QCoreApplication::addLibraryPath(QFileInfo(arguments.first()).absolutePath());

    // Answered before any application object exists: they need no display.
    switch (decideStartupMode(arguments)) {
    case StartupMode::Version:
        std::printf("tarrowind-utility %s\n", TW_VERSION);
        return 0;
    case StartupMode::Help:
        std::fputs(usageText().toUtf8().constData(), stdout);
        return 0;
    case StartupMode::AdapterRepair:
        return runAdapterRepair(arguments);
    case StartupMode::Normal:
        break;
    }
    return runNormalMode(argc, argv, beforeLoad);
}
