#include "AppMetatypes.h"

#include "bootloader/BootloaderMetatypes.h"
#include "items/ItemsMetatypes.h"
#include "remotefs/RemoteFsMetatypes.h"
#include "serial/SerialMetatypes.h"

#include <QMetaType>
#include <QtGlobal>

void registerAppMetatypes()
{
    static const bool registered = [] {
        registerSerialMetatypes();
        registerBootloaderMetatypes();
        registerRemoteFsMetatypes();
        registerItemsMetatypes();
        qRegisterMetaType<QtMsgType>("QtMsgType");
        return true;
    }();
    Q_UNUSED(registered);
}
