#pragma once

#include <QString>

// Process-wide serial support: the port driver factories, the port-name patterns and the
// adapter library. Created once at start-up (both modes), released at exit.
void initSerialSupport();
void shutdownSerialSupport();

// The adapter repair run by the elevated copy of the program ("fixftdi" mode).
bool ftdiElevatedFix(const QString &elevatedFixPath);
