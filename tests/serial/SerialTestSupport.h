#pragma once

#include "MessageCapture.h"
#include "SerialSupportEnvironment.h"
#include "WaitUntil.h"

#include <QByteArray>

// Every serial test program runs with the serial support set up.
inline ::testing::Environment *const g_serialSupportEnvironment =
    ::testing::AddGlobalTestEnvironment(new SerialSupportEnvironment);

// Deterministic pseudo-random bytes.
QByteArray pattern(int size, int seed = 0);
