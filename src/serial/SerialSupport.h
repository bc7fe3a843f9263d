#pragma once

#include "AdapterRepair.h"

#include <QString>

// Process-wide serial support: the port driver factories, the port-name patterns and the
// adapter library. Created once at start-up (both modes), released at exit.
void initSerialSupport();
void shutdownSerialSupport();
