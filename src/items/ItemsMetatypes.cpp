#include "ItemsMetatypes.h"

#include "pulselog/PulseLogMetatypes.h"
#include "SoftwareRenderer.h"

#include <QMetaType>

void registerItemsMetatypes()
{
    static const bool registered = [] {
        registerPulseLogMetatypes();
        qRegisterMetaType<SoftwareRenderer::Axes>("SoftwareRenderer::Axes");
        return true;
    }();
    Q_UNUSED(registered);
}
