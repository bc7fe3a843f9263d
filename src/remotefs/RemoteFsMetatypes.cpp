#include "RemoteFsMetatypes.h"

#include "network/NetworkMetatypes.h"
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
        // Operation numbers travel between the threads in queued signals.
        qRegisterMetaType<quint64>("quint64");
        return true;
    }();
    Q_UNUSED(registered);
}
