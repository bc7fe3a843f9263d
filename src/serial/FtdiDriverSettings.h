#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The Windows FTDI bus driver settings of one adapter instance, as read from the registry, and
// the decisions taken on them. Kept free of the registry calls so both platforms test them.
struct FtdiDriverSettings {
    bool upperFiltersRead = false;
    QStringList upperFilters;  // entries of the "UpperFilters" multi-string
    bool configDataRead = false;
    QByteArray configData;  // "ConfigData" of the device parameters key
    bool latencyTimerRead = false;

    enum class Verdict {
        RepairNeeded,  // this instance is the answer: it needs the elevated repair
        Good,          // this instance is the answer: nothing to repair
        Unknown        // neither value could be read; look at the next instance
    };
    Verdict verdict() const;

    // The serial enumerator filter, which probes the port and disturbs the logger.
    static bool hasSerialEnumerator(const QStringList &filters);
    // Without the first serial enumerator entry; the others stay in order.
    static QStringList withoutSerialEnumerator(QStringList filters);
    // ConfigData with the two bytes that the repair sets. Empty when the data is too short to
    // hold them (it is then left alone rather than grown or written past its end).
    static QByteArray repairedConfigData(const QByteArray &configData);

    // REG_MULTI_SZ in the ANSI code page: entries separated by one NUL, ended by two.
    static QStringList parseMultiString(const QByteArray &bytes);
    static QByteArray buildMultiString(const QStringList &entries);
};

namespace FtdiRegistry {
// "SYSTEM\CurrentControlSet\Enum\FTDIBUS", below HKEY_LOCAL_MACHINE.
extern const char *const kBusKey;
// The instance key of sub-key `subKey`: kBusKey + "\" + subKey + "\0000".
QString instancePath(const QString &subKey);
// The only texts the elevated copy accepts: an instance path below the FTDI bus key, with no
// parent references, no other hive and no empty or odd components.
bool isAcceptedInstancePath(const QString &path);
}  // namespace FtdiRegistry
