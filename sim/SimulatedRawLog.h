#pragma once

#include "WaterUseProfile.h"

#include <QByteArray>
#include <QVariantMap>

#include <cstdint>

// A raw log file as the utility would save it after downloading a session of the virtual
// household: kind-2 pulse blocks closed every `blockMinutes` (or when full), then one metadata
// item. For fleets of test and benchmark logs without a flash walk.
class SimulatedRawLog
{
public:
    struct Options {
        WaterUseProfile::Options profile;
        int64_t startMs = 1772323200000;  // 2026-03-01 00:00 UTC
        double days = 7;
        int blockMinutes = 15;
        QVariantMap metaData;  // written as the file's metadata item unless empty
    };

    static QByteArray build(const Options &options);
};
