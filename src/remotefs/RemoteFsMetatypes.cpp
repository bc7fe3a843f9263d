#include "RemoteFsMetatypes.h"

#include "NetworkMetatypes.h"
#include "RemoteFileSystem.h"
#include "RemoteFilesystemSession.h"

#include <QMetaType>

void registerRemoteFsMetatypes()
{
    static const bool registered = [] {
        registerNetworkMetatypes();
        qRegisterMetaType<RemoteFilesystemSessionPtr>("RemoteFilesystemSessionPtr");
        qRegisterMetaType<RemoteFilesystemSession *>("RemoteFilesystemSession*");
        qRegisterMetaType<RemoteFileSystem::Status>("RemoteFileSystem::Status");
        return true;
    }();
    Q_UNUSED(registered);
}
