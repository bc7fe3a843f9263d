#pragma once

#include "LineFaults.h"
#include "MagnetModel.h"
#include "VirtualFlashService.h"

#include <QString>

#include <cstdint>

// Everything that makes one virtual logger scenario. The defaults describe a current
// logger in firmware mode with a slowly turning meter and a few closed sessions.
struct VirtualLoggerConfig {
    uint32_t seed = 1;

    // Identity. Empty texts are derived from the seed.
    uint16_t majorVersion = 0;
    uint16_t minorVersion = 1;
    uint32_t patchLevel = 4468;  // gates features: 4040, 4162, 4251, 4300, 4468
    uint16_t modelRevision = 3;
    QString uniqueId;
    QString serialNumber;
    QString buildType = QStringLiteral("release");

    bool startInBootloader = false;

    // Every save of the persistent variables is answered with an error and changes nothing.
    bool refuseSave = false;

    // The magnet and the sample stream (S2C_DataPoints while RawXyzOutput_Enable is 1).
    MagnetParameters magnet;
    double sampleHz = 400.0;

    // Device clock at start-up relative to the host's clock.
    int64_t clockOffsetMs = 0;

    // Timing of unsolicited output (0 disables debug messages).
    int announceIntervalMs = 500;
    int debugMessageIntervalMs = 20000;

    // The flash contents (sessions) and their timing, for the flash service.
    VirtualFlashService::Scenario flash;

    // The line between device and host (applies in both directions).
    LineFaultConfig faults;
};
