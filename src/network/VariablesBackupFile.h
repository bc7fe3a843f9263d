#pragma once

#include "Network.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>

// The document a variables backup is kept in: every persistent variable of a logger (the
// 16-bit ones and the 256-bit texts) by name, with the identity of the logger it was read
// from. JSON, UTF-8, written without regard to the user's locale.
//
// A text is kept as its text when its 32 bytes are that text's UTF-8 followed by zeros (what
// the logger holds for any text it was given); any other content as {"hex": 64 hex digits},
// so that a restore puts back exactly the bytes that were read.
class VariablesBackupFile
{
public:
    static constexpr int kFormatVersion = 1;
    // Far above any backup; keeps a wrong file choice from being read into memory whole.
    static constexpr qint64 kMaxFileSize = 1024 * 1024;

    struct Identity {
        QString serialNumber;
        QString uniqueId;
        QString model;  // the Network::ModelType key, e.g. "ModelType_Tarrowind3X"
        uint16_t modelRevision = 0;
        uint16_t majorVersion = 0;
        uint16_t minorVersion = 0;
        uint32_t patchLevelVersion = 0;
        QString buildType;
    };

    Identity identity;
    QDateTime savedAt;  // UTC
    uint16_t persistents16[Network::kPersistent16Count] = {};
    Network::uint256_t persistents256[Network::kPersistent256Count] = {};

    // The model key of a model type (its number for a type this program does not name).
    static QString modelKey(Network::ModelType model);
    // The name of a persistent variable as the file spells it (the Network enum key).
    static QString name16(int index);
    static QString name256(int index);

    // The document, indented, with "\r\n" line ends.
    QByteArray toJson() const;
    // Reads a document. False, with the reason for the user, for anything that is not a
    // complete backup this program can restore: not JSON, another kind of file, a newer
    // format, a missing or unknown variable, a value the variable cannot hold.
    static bool fromJson(const QByteArray &data, VariablesBackupFile *out, QString *error);
};
