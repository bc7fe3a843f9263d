#include "AppMetatypes.h"

#include "BootloaderMetatypes.h"
#include "ItemsMetatypes.h"
#include "RemoteFsMetatypes.h"
#include "SerialMetatypes.h"

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
