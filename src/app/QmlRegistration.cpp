#include "QmlRegistration.h"

#include "bootloader/FirmwareArchive.h"
#include "bootloader/FirmwareMeta.h"
#include "bootloader/StmBootLoader.h"
#include "bootloader/TarrowindLogger.h"
#include "common/SafeFileName.h"
#include "decider/FileRecording.h"
#include "decider/LocalMagnetometer.h"
#include "decider/RecordingPlayback.h"
#include "decider/WrappedDecider.h"
#include "decider/WrappedEllipticalDecider.h"
#include "diagnostics/SupportBundleWriter.h"
#include "items/BarGraph.h"
#include "items/Gauge.h"
#include "items/LabelledPoint.h"
#include "items/LineGraph.h"
#include "items/SoftwareRenderer.h"
#include "library/LibraryService.h"
#include "library/LibraryTableModel.h"
#include "LogSignaller.h"
#include "network/Network.h"
#include "network/TarrowindFirmware.h"
#include "network/VariablesBackup.h"
#include "pulselog/PulseLog.h"
#include "remotefs/RemoteFileSystem.h"
#include "remotefs/RemoteFilesystemSession.h"
#include "remotefs/SavedSessionRegistry.h"
#include "remotefs/SessionDownloader.h"
#include "report/CustomerReportWriter.h"
#include "Runtime.h"
#include "serial/AbstractSerialPort.h"
#include "serial/SerialComm.h"
#include "workflows/FirmwareFlasher.h"
#include "workflows/SessionSaver.h"

#include <QMagnetometer>
#include <QQmlEngine>
#include <QtQml>

namespace {
const char *kUri = "localdev";

template <typename T> void registerPointerAndList()
{
    const QByteArray className = T::staticMetaObject.className();
    qRegisterMetaType<T *>(className + '*');
    qRegisterMetaType<QQmlListProperty<T>>("QQmlListProperty<" + className + '>');
}

template <typename T> void registerCreatable(const char *qmlName)
{
    qmlRegisterType<T>(kUri, 1, 0, qmlName);
    registerPointerAndList<T>();
}

template <typename T> void registerUncreatable(const char *qmlName, const char *reason)
{
    qmlRegisterUncreatableType<T>(kUri, 1, 0, qmlName, QString::fromLatin1(reason));
    registerPointerAndList<T>();
}
}  // namespace

// Who deletes an object QML sees follows Qt's rules, so no class below marks it: what our
// objects create reaches QML through properties and signal arguments and stays C++'s; what an
// invokable or slot returns goes to the engine, which deletes it once unreferenced unless it has
// a parent. The only such result is PulseLog's clone, made for the engine to own.
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
    qmlRegisterSingletonType<SafeFileName>(kUri, 1, 0, "SafeFileName",
                                           [](QQmlEngine *, QJSEngine *) -> QObject * { return new SafeFileName; });
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
    registerCreatable<SessionSaver>("SessionSaver");
    registerCreatable<FirmwareFlasher>("FirmwareFlasher");
    registerCreatable<LibraryService>("LibraryService");
    registerCreatable<LibraryTableModel>("LibraryTableModel");
    registerCreatable<FirmwareMeta>("FirmwareMeta");
    registerCreatable<FirmwareArchive>("FirmwareArchive");
    registerCreatable<VariablesBackup>("VariablesBackup");
    registerCreatable<CustomerReportWriter>("CustomerReportWriter");
    qmlRegisterUncreatableMetaObject(Network::staticMetaObject, kUri, 1, 0, "Network",
                                     QStringLiteral("Error: only enums"));
}

QObject *createRuntime()
{
    auto *runtime = new Runtime();
    QQmlEngine::setObjectOwnership(runtime, QQmlEngine::CppOwnership);
    return runtime;
}
