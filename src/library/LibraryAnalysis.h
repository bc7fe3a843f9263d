#pragma once

#include "LibraryRecord.h"

#include <QByteArray>
#include <QString>

// The library's figures for one raw log, from the same decoder and night-flow analysis as the
// viewer and `log-info`. Pure function of the bytes: safe on any thread.
class LibraryAnalysis
{
public:
    // Rows written by an older version are analysed again by the next add.
    static constexpr int kVersion = 1;

    static QString sha256Hex(const QByteArray &bytes);

    // Fills every field but `paths`; false with the reason for a file that is not a whole raw
    // log (nothing decodable, a partial last record, a damaged metadata item).
    static bool analyse(const QByteArray &bytes, LibraryRecord *record, QString *error);
};
