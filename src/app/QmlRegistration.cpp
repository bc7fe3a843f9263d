#include "QmlRegistration.h"

#include "AbstractSerialPort.h"
#include "FileRecording.h"
#include "FirmwareMeta.h"
#include "LocalMagnetometer.h"
#include "LogSignaller.h"
#include "Network.h"
#include "PulseLog.h"
#include "RecordingPlayback.h"
#include "RemoteFileSystem.h"
#include "RemoteFilesystemSession.h"
#include "SerialComm.h"
#include "SessionDownloader.h"
#include "StmBootLoader.h"
#include "TarrowindFirmware.h"
#include "TarrowindLogger.h"
#include "WrappedDecider.h"
#include "WrappedEllipticalDecider.h"

#include <QMagnetometer>
#include <QQmlEngine>
#include <QtQml>

// The painted items and the Runtime service object arrive in their own changes; until they
// are merged the program registers without them.
#if __has_include("Runtime.h")
#include "Runtime.h"
#define TW_HAS_RUNTIME 1
#endif
#if __has_include("SoftwareRenderer.h")
#include "SoftwareRenderer.h"
#define TW_HAS_RENDERER 1
#endif
#if __has_include("Gauge.h")
#include "Gauge.h"
#define TW_HAS_GAUGE 1
#endif
#if __has_include("LineGraph.h")
#include "BarGraph.h"
#include "LabelledPoint.h"
#include "LineGraph.h"
#define TW_HAS_GRAPHS 1
#endif

namespace {
const char *kUri = "localdev";

template <typename T>
void registerPointerAndList()
{
    const QByteArray className = T::staticMetaObject.className();
    qRegisterMetaType<T *>(className + '*');
    qRegisterMetaType<QQmlListProperty<T>>("QQmlListProperty<" + className + '>');
}

template <typename T>
void registerCreatable(const char *qmlName)
{
    qmlRegisterType<T>(kUri, 1, 0, qmlName);
    registerPointerAndList<T>();
}

template <typename T>
void registerUncreatable(const char *qmlName, const char *reason)
{
    qmlRegisterUncreatableType<T>(kUri, 1, 0, qmlName, QString::fromLatin1(reason));
    registerPointerAndList<T>();
}
}  // namespace

void registerQmlTypes()
{
    registerCreatable<SerialComm>("SerialComm");
    registerUncreatable<IODeviceFactory>("IODeviceFactory", "Abstract");
    qmlRegisterType<AbstractSerialPort>(kUri, 1, 0, "MlSerialPort");
    qRegisterMetaType<QQmlListProperty<AbstractSerialPort>>("QQmlListProperty<MlSerialPort>");
    registerCreatable<StmBootLoader>("StmBootLoader");
    registerCreatable<TarrowindFirmware>("TarrowindFirmware");
    registerCreatable<TarrowindLogger>("TarrowindLogger");
    registerCreatable<LocalMagnetometer>("LocalMagnetometer");
    registerCreatable<FileRecording>("FileRecording");
    registerCreatable<RecordingPlayback>("RecordingPlayback");
#ifdef TW_HAS_RUNTIME
    registerCreatable<Runtime>("Runtime");
#endif
#ifdef TW_HAS_RENDERER
    registerCreatable<SoftwareRenderer>("SoftwareRenderer");
    qRegisterMetaType<SoftwareRenderer::Axes>("SoftwareRenderer::Axes");
#endif
    registerUncreatable<WrappedDecider>("WrappedDecider", "Abstract");
    registerCreatable<WrappedEllipticalDecider>("WrappedEllipticalDecider");
    registerUncreatable<QMagnetometer>("QMagnetometer", "Only created by LocalMagnetometer");
#ifdef TW_HAS_GAUGE
    registerCreatable<Gauge>("Gauge");
#endif
    registerCreatable<PulseLog>("PulseLog");
#ifdef TW_HAS_GRAPHS
    registerCreatable<LineGraph>("LineGraph");
    registerCreatable<BarGraph>("BarGraph");
    registerCreatable<LabelledPoint>("LabelledPoint");
#endif
    registerCreatable<LogSignaller>("LogBuffer");
    registerCreatable<RemoteFileSystem>("RemoteFilesystem");
    registerCreatable<SessionDownloader>("SessionDownloader");
    registerUncreatable<RemoteFilesystemSession>("RemoteFilesystemSession", "Uncreatable");
    registerCreatable<FirmwareMeta>("FirmwareMeta");
    qmlRegisterUncreatableMetaObject(Network::staticMetaObject, kUri, 1, 0, "Network",
                                     QStringLiteral("Error: only enums"));
}

QObject *createRuntime()
{
#ifdef TW_HAS_RUNTIME
    auto *runtime = new Runtime();
    QQmlEngine::setObjectOwnership(runtime, QQmlEngine::CppOwnership);
    return runtime;
#else
    return nullptr;
#endif
}
