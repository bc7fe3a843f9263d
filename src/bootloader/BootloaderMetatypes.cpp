#include "BootloaderMetatypes.h"

#include "FirmwareMeta.h"
#include "network/NetworkMetatypes.h"
#include "StmBootLoader.h"
#include "TarrowindLogger.h"

#include <QMetaType>

void registerBootloaderMetatypes()
{
    static const bool registered = [] {
        registerNetworkMetatypes();
        qRegisterMetaType<StmBootLoader::State>("StmBootLoader::State");
        qRegisterMetaType<StmBootLoader::Error>("StmBootLoader::Error");
        qRegisterMetaType<TarrowindLogger::OperatingMode>("TarrowindLogger::OperatingMode");
        qRegisterMetaType<FirmwareMeta::LoadStatus>("FirmwareMeta::LoadStatus");
        return true;
    }();
    Q_UNUSED(registered);
}
