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
#include "serial/SerialMetatypes.h"
#include "SupportCommands.h"

#include <QCoreApplication>

namespace {
// Each module lists its own commands; a new module is one more line here.
using Module = std::vector<CliCommand> (*)();
const Module kModules[] = {
    protocolCommands, logCommands, deviceCommands, firmwareCommands, recordingCommands, portCommands, supportCommands,
    libraryCommands,
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
    QCoreApplication app(argc, argv);
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
    return Cli::dispatch(app.arguments().mid(1), allCommands());
}
