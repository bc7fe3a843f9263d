#include "NetworkMetatypes.h"

#include "common/CommonMetatypes.h"
#include "Network.h"
#include "TarrowindFirmware.h"

#include <QMetaType>

void registerNetworkMetatypes()
{
    using namespace Network;
    static const bool registered = [] {
        registerCommonMetatypes();
        qRegisterMetaType<uint256_t>("Network::uint256_t");
        qRegisterMetaType<const PacketBase *>("const Network::PacketBase*");
        qRegisterMetaType<ReadStatus>("Network::ReadStatus");
        qRegisterMetaType<PacketType>("Network::PacketType");
        qRegisterMetaType<Algorithm>("Network::Algorithm");
        qRegisterMetaType<ServerType>("Network::ServerType");
        qRegisterMetaType<ModelType>("Network::ModelType");
        qRegisterMetaType<TemporaryName16>("Network::TemporaryName16");
        qRegisterMetaType<PersistentName16>("Network::PersistentName16");
        qRegisterMetaType<PersistentName256>("Network::PersistentName256");
        qRegisterMetaType<PermanentName16>("Network::PermanentName16");
        qRegisterMetaType<PermanentName256>("Network::PermanentName256");
        qRegisterMetaType<TarrowindFirmware::PacketOutcome>("TarrowindFirmware::PacketOutcome");
        qRegisterMetaType<TarrowindFirmware::ConnectionState>("TarrowindFirmware::ConnectionState");
        return true;
    }();
    Q_UNUSED(registered);
}
