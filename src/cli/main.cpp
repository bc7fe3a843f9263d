#include "bootloader/BootloaderMetatypes.h"
#include "CliSupport.h"
#include "common/NumericLocale.h"
#include "DeviceCommands.h"
#include "FirmwareCommands.h"
#include "LibraryCommands.h"
#include "LogCommands.h"
#include "PortCommands.h"
#include "ProtocolCommands.h"
#include "pulselog/PulseLogMetatypes.h"
#include "RecordingCommands.h"
#include "remotefs/RemoteFsMetatypes.h"
#include "ReportCommands.h"
#include "serial/SerialMetatypes.h"
#include "SupportCommands.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <memory>

namespace {
// Each module lists its own commands; a new module is one more line here.
using Module = std::vector<CliCommand> (*)();
const Module kModules[] = {
    protocolCommands, logCommands,     deviceCommands, firmwareCommands, recordingCommands,
    portCommands,     supportCommands, reportCommands, libraryCommands,
};

std::vector<CliCommand> allCommands()
{
    std::vector<CliCommand> commands;
    for (const auto module : kModules) {
        for (auto &c : module())
            commands.push_back(std::move(c));
    }
    return commands;
}
}  // namespace

int main(int argc, char **argv)
{
    // A command that draws gets a GUI application on the offscreen platform: no display needed.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const std::vector<CliCommand> commands = allCommands();
    const CliCommand *command = Cli::commandFor(arguments, commands);
    std::unique_ptr<QCoreApplication> app;
    if (command && command->gui) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // The platform's start-up notes (no runtime folder when run as root) are not the
        // command's output, which is one line on failure.
        const QtMessageHandler previous = qInstallMessageHandler(nullptr);
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        app = std::make_unique<QGuiApplication>(argc, argv);
        qInstallMessageHandler(previous);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    // The application object has just adopted the user's locale for the C library: exports
    // and JSON keep a decimal point whatever it is.
    NumericLocale::pinToC();
    QCoreApplication::setOrganizationName(QStringLiteral("Ombrellix"));
    QCoreApplication::setApplicationName(QStringLiteral("Tarrowind Utility"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TW_VERSION));
    // Each library registers the ones it builds on too (network and common here).
    registerSerialMetatypes();
    registerBootloaderMetatypes();
    registerRemoteFsMetatypes();
    registerPulseLogMetatypes();
    return Cli::dispatch(app->arguments().mid(1), commands);
}
