#include "QmlRegistration.h"

#include "LogSignaller.h"

#include <QQmlEngine>
#include <QtQml>

// Subsystems register only when they are part of the build.
#if __has_include("SerialComm.h")
#include "SerialComm.h"
#define TW_HAS_SERIALCOMM 1
#endif
#if __has_include("AbstractSerialPort.h")
#include "AbstractSerialPort.h"
#define TW_HAS_SERIALPORT 1
#endif
#if __has_include("StmBootLoader.h")
#include "StmBootLoader.h"
#define TW_HAS_BOOTLOADER 1
#endif
#if __has_include("FirmwareMeta.h")
#include "FirmwareMeta.h"
#define TW_HAS_FIRMWAREMETA 1
#endif
#if __has_include("TarrowindFirmware.h")
#include "TarrowindFirmware.h"
#define TW_HAS_FIRMWARE 1
#endif
#if __has_include("TarrowindLogger.h")
#include "TarrowindLogger.h"
#define TW_HAS_LOGGER 1
#endif
#if __has_include("Network.h")
#include "Network.h"
#define TW_HAS_NETWORK 1
#endif
#if __has_include("LocalMagnetometer.h")
#include "LocalMagnetometer.h"
#include <QMagnetometer>
#define TW_HAS_MAGNETOMETER 1
#endif
#if __has_include("FileRecording.h")
#include "FileRecording.h"
#include "RecordingPlayback.h"
#define TW_HAS_RECORDING 1
#endif
#if __has_include("WrappedEllipticalDecider.h")
#include "WrappedDecider.h"
#include "WrappedEllipticalDecider.h"
#define TW_HAS_DECIDER 1
#endif
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
#if __has_include("PulseLog.h")
#include "PulseLog.h"
#define TW_HAS_PULSELOG 1
#endif
#if __has_include("LineGraph.h")
#include "BarGraph.h"
#include "LabelledPoint.h"
#include "LineGraph.h"
#define TW_HAS_GRAPHS 1
#endif
#if __has_include("RemoteFileSystem.h")
#include "RemoteFileSystem.h"
#include "RemoteFilesystemSession.h"
#include "SessionDownloader.h"
#define TW_HAS_REMOTEFS 1
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
#ifdef TW_HAS_SERIALCOMM
    registerCreatable<SerialComm>("SerialComm");
    registerUncreatable<IODeviceFactory>("IODeviceFactory", "Abstract");
#endif
#ifdef TW_HAS_SERIALPORT
    qmlRegisterType<AbstractSerialPort>(kUri, 1, 0, "MlSerialPort");
    qRegisterMetaType<QQmlListProperty<AbstractSerialPort>>("QQmlListProperty<MlSerialPort>");
#endif
#ifdef TW_HAS_BOOTLOADER
    registerCreatable<StmBootLoader>("StmBootLoader");
#endif
#ifdef TW_HAS_FIRMWARE
    registerCreatable<TarrowindFirmware>("TarrowindFirmware");
#endif
#ifdef TW_HAS_LOGGER
    registerCreatable<TarrowindLogger>("TarrowindLogger");
#endif
#ifdef TW_HAS_MAGNETOMETER
    registerCreatable<LocalMagnetometer>("LocalMagnetometer");
#endif
#ifdef TW_HAS_RECORDING
    registerCreatable<FileRecording>("FileRecording");
    registerCreatable<RecordingPlayback>("RecordingPlayback");
#endif
#ifdef TW_HAS_RUNTIME
    registerCreatable<Runtime>("Runtime");
#endif
#ifdef TW_HAS_RENDERER
    registerCreatable<SoftwareRenderer>("SoftwareRenderer");
    qRegisterMetaType<SoftwareRenderer::Axes>("SoftwareRenderer::Axes");
#endif
#ifdef TW_HAS_DECIDER
    registerUncreatable<WrappedDecider>("WrappedDecider", "Abstract");
    registerCreatable<WrappedEllipticalDecider>("WrappedEllipticalDecider");
#endif
#ifdef TW_HAS_MAGNETOMETER
    registerUncreatable<QMagnetometer>("QMagnetometer", "Only created by LocalMagnetometer");
#endif
#ifdef TW_HAS_GAUGE
    registerCreatable<Gauge>("Gauge");
#endif
#ifdef TW_HAS_PULSELOG
    registerCreatable<PulseLog>("PulseLog");
#endif
#ifdef TW_HAS_GRAPHS
    registerCreatable<LineGraph>("LineGraph");
    registerCreatable<BarGraph>("BarGraph");
    registerCreatable<LabelledPoint>("LabelledPoint");
#endif
    registerCreatable<LogSignaller>("LogBuffer");
#ifdef TW_HAS_REMOTEFS
    registerCreatable<RemoteFileSystem>("RemoteFilesystem");
    registerCreatable<SessionDownloader>("SessionDownloader");
    registerUncreatable<RemoteFilesystemSession>("RemoteFilesystemSession", "Uncreatable");
#endif
#ifdef TW_HAS_FIRMWAREMETA
    registerCreatable<FirmwareMeta>("FirmwareMeta");
#endif
#ifdef TW_HAS_NETWORK
    qmlRegisterUncreatableMetaObject(Network::staticMetaObject, kUri, 1, 0, "Network",
                                     QStringLiteral("Error: only enums"));
#endif
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
