#include "FtdiDriverSettings.h"

namespace {
constexpr char kSerialEnumerator[] = "serenum";
constexpr char kConfigByte = 0x3F;

bool isSerialEnumerator(const QString &entry)
{
    // Windows compares service names without regard to case.
    return entry.compare(QLatin1String(kSerialEnumerator), Qt::CaseInsensitive) == 0;
}
}  // namespace

FtdiDriverSettings::Verdict FtdiDriverSettings::verdict() const
{
    if (upperFiltersRead && hasSerialEnumerator(upperFilters))
        return Verdict::RepairNeeded;
    if (configDataRead) {
        // Too short to hold the two bytes counts as not set.
        const bool set = configData.size() >= 4 && configData.at(2) == kConfigByte && configData.at(3) == kConfigByte;
        return set ? Verdict::Good : Verdict::RepairNeeded;
    }
    if (latencyTimerRead)
        return Verdict::RepairNeeded;
    return Verdict::Unknown;
}

bool FtdiDriverSettings::hasSerialEnumerator(const QStringList &filters)
{
    for (const QString &f : filters) {
        if (isSerialEnumerator(f))
            return true;
    }
    return false;
}

QStringList FtdiDriverSettings::withoutSerialEnumerator(QStringList filters)
{
    for (int i = 0; i < filters.size(); ++i) {
        if (isSerialEnumerator(filters.at(i))) {
            filters.removeAt(i);
            break;
        }
    }
    return filters;
}

QByteArray FtdiDriverSettings::repairedConfigData(const QByteArray &configData)
{
    if (configData.size() < 4)
        return QByteArray();
    QByteArray repaired = configData;
    repaired[2] = kConfigByte;
    repaired[3] = kConfigByte;
    return repaired;
}

QStringList FtdiDriverSettings::parseMultiString(const QByteArray &bytes)
{
    QStringList entries;
    int start = 0;
    while (start < bytes.size()) {
        int end = bytes.indexOf('\0', start);
        if (end < 0)
            end = bytes.size();  // unterminated: the rest is the last entry
        if (end == start)
            break;  // the empty entry ends the list
        entries << QString::fromLocal8Bit(bytes.constData() + start, end - start);
        start = end + 1;
    }
    return entries;
}

QByteArray FtdiDriverSettings::buildMultiString(const QStringList &entries)
{
    QByteArray bytes;
    for (const QString &e : entries) {
        if (e.isEmpty())
            continue;  // an empty entry would end the list early
        bytes += e.toLocal8Bit();
        bytes += '\0';
    }
    bytes += '\0';
    if (bytes.size() == 1)
        bytes += '\0';  // an empty list is still two NULs
    return bytes;
}

namespace FtdiRegistry {
const char *const kBusKey = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";

QString instancePath(const QString &subKey)
{
    return QLatin1String(kBusKey) + QLatin1Char('\\') + subKey + QStringLiteral("\\0000");
}

bool isAcceptedInstancePath(const QString &path)
{
    const QString prefix = QLatin1String(kBusKey) + QLatin1Char('\\');
    // Registry paths compare without regard to case; anything else must sit below the bus key.
    if (!path.startsWith(prefix, Qt::CaseInsensitive))
        return false;
    // Exactly "<instance>\\0000", as the enumeration hands it out.
    const QStringList parts = path.mid(prefix.size()).split(QLatin1Char('\\'));
    if (parts.size() != 2 || parts.at(1) != QLatin1String("0000"))
        return false;
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
        for (const QChar c : part) {
            // Instance names are printable ASCII; '/' and ':' have no place in a key name here.
            if (c.unicode() < 0x21 || c.unicode() > 0x7E || c == QLatin1Char('/') || c == QLatin1Char(':'))
                return false;
        }
    }
    return !path.contains(QStringLiteral(".."));
}
}  // namespace FtdiRegistry
