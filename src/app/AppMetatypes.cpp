#include "AppMetatypes.h"

#include <QMetaType>
#include <QtGlobal>

void registerAppMetatypes()
{
    static const bool registered = [] {
        qRegisterMetaType<QtMsgType>("QtMsgType");
        return true;
    }();
    Q_UNUSED(registered);
}
