#pragma once

#include "Network.h"

#include <QString>
#include <QVariantList>

#include <cstdint>

// What the logger last reported of its variables, family by family: 16-bit temporaries,
// 16-bit and 256-bit persistents, 16-bit and 256-bit permanents. All zero until read. Plain
// data on the protocol client's thread; the client announces changes.
class VariableCache
{
public:
    enum Family { Temporary16, Persistent16, Persistent256, Permanent16, Permanent256 };

    // Names the family has (what the cache holds of it).
    static int count(Family family);
    static bool isWide(Family family) { return family == Persistent256 || family == Permanent256; }
    // The enumerator of a variable name, as the log texts write it ("Network::LedMode_Green").
    static QString variableName(Family family, uint16_t name);

    VariableCache() { clear(); }

    void clear();
    // What a successful ClearPersistents leaves: every persistent back to zero.
    void clearPersistents();

    uint16_t value16(Family family, int name) const;
    Network::uint256_t value256(Family family, int name) const;
    // Both store only names inside the family and say whether they did.
    bool store16(Family family, int name, uint16_t value);
    bool store256(Family family, int name, const Network::uint256_t &value);

    // The whole family as the QML properties give it: ushort values, or uint256_t values.
    QVariantList list(Family family) const;

private:
    uint16_t *values16(Family family);
    const uint16_t *values16(Family family) const;
    Network::uint256_t *values256(Family family);
    const Network::uint256_t *values256(Family family) const;

    uint16_t m_temporaries16[Network::kTemporary16Count];
    uint16_t m_persistents16[Network::kPersistent16Count];
    Network::uint256_t m_persistents256[Network::kPersistent256Count];
    uint16_t m_permanents16[Network::kPermanent16Count];
    Network::uint256_t m_permanents256[Network::kPermanent256Count];
};
