#include "PulseLogMetatypes.h"

#include "common/CommonMetatypes.h"
#include "PulseLog.h"

#include <QMetaType>

void registerPulseLogMetatypes()
{
    static const bool registered = [] {
        registerCommonMetatypes();
        qRegisterMetaType<DataSeriesVectorPtr>("DataSeriesVectorPtr");
        return true;
    }();
    Q_UNUSED(registered);
}
