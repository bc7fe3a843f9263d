#include "QmlRegistration.h"

#include "AbstractSerialPort.h"
#include "BarGraph.h"
#include "FileRecording.h"
#include "FirmwareMeta.h"
#include "Gauge.h"
#include "LabelledPoint.h"
#include "LineGraph.h"
#include "LocalMagnetometer.h"
#include "LogSignaller.h"
#include "Network.h"
#include "PulseLog.h"
#include "RecordingPlayback.h"
#include "RemoteFileSystem.h"
#include "RemoteFilesystemSession.h"
#include "Runtime.h"
#include "SavedSessionRegistry.h"
#include "SerialComm.h"
#include "SessionDownloader.h"
#include "SoftwareRenderer.h"
#include "StmBootLoader.h"
#include "SupportBundleWriter.h"
#include "TarrowindFirmware.h"
#include "TarrowindLogger.h"
#include "VariablesBackup.h"
#include "WrappedDecider.h"
#include "WrappedEllipticalDecider.h"

#include <QMagnetometer>
#include <QQmlEngine>
#include <QtQml>

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
    registerCreatable<Runtime>("Runtime");
    registerCreatable<SupportBundleWriter>("SupportBundleWriter");
    registerCreatable<SoftwareRenderer>("SoftwareRenderer");
    registerUncreatable<WrappedDecider>("WrappedDecider", "Abstract");
    registerCreatable<WrappedEllipticalDecider>("WrappedEllipticalDecider");
    registerUncreatable<QMagnetometer>("QMagnetometer", "Only created by LocalMagnetometer");
    registerCreatable<Gauge>("Gauge");
    registerCreatable<PulseLog>("PulseLog");
    registerCreatable<LineGraph>("LineGraph");
    registerCreatable<BarGraph>("BarGraph");
    registerCreatable<LabelledPoint>("LabelledPoint");
    registerCreatable<LogSignaller>("LogBuffer");
    registerCreatable<RemoteFileSystem>("RemoteFilesystem");
    registerCreatable<SessionDownloader>("SessionDownloader");
    registerUncreatable<RemoteFilesystemSession>("RemoteFilesystemSession", "Uncreatable");
    registerCreatable<SavedSessionRegistry>("SavedSessionRegistry");
    registerCreatable<FirmwareMeta>("FirmwareMeta");
    registerCreatable<VariablesBackup>("VariablesBackup");
    qmlRegisterUncreatableMetaObject(Network::staticMetaObject, kUri, 1, 0, "Network",
                                     QStringLiteral("Error: only enums"));
}

QObject *createRuntime()
{
    auto *runtime = new Runtime();
    QQmlEngine::setObjectOwnership(runtime, QQmlEngine::CppOwnership);
    return runtime;
}
