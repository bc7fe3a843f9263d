#include "VariableCache.h"

#include <QVariant>

#include <algorithm>

using namespace Network;

int VariableCache::count(Family family)
{
    switch (family) {
    case Temporary16:
        return kTemporary16Count;
    case Persistent16:
        return kPersistent16Count;
    case Persistent256:
        return kPersistent256Count;
    case Permanent16:
        return kPermanent16Count;
    case Permanent256:
        return kPermanent256Count;
    }
    return 0;
}

QString VariableCache::variableName(Family family, uint16_t name)
{
    switch (family) {
    case Temporary16:
        return enumName(TemporaryName16(name));
    case Persistent16:
        return enumName(PersistentName16(name));
    case Persistent256:
        return enumName(PersistentName256(name));
    case Permanent16:
        return enumName(PermanentName16(name));
    case Permanent256:
        return enumName(PermanentName256(name));
    }
    return QString::number(name);
}

void VariableCache::clear()
{
    std::fill(std::begin(m_temporaries16), std::end(m_temporaries16), uint16_t(0));
    std::fill(std::begin(m_permanents16), std::end(m_permanents16), uint16_t(0));
    std::fill(std::begin(m_permanents256), std::end(m_permanents256), uint256_t());
    clearPersistents();
}

void VariableCache::clearPersistents()
{
    std::fill(std::begin(m_persistents16), std::end(m_persistents16), uint16_t(0));
    std::fill(std::begin(m_persistents256), std::end(m_persistents256), uint256_t());
}

uint16_t *VariableCache::values16(Family family)
{
    return const_cast<uint16_t *>(static_cast<const VariableCache *>(this)->values16(family));
}

const uint16_t *VariableCache::values16(Family family) const
{
    switch (family) {
    case Temporary16:
        return m_temporaries16;
    case Persistent16:
        return m_persistents16;
    case Permanent16:
        return m_permanents16;
    default:
        return nullptr;
    }
}

uint256_t *VariableCache::values256(Family family)
{
    return const_cast<uint256_t *>(static_cast<const VariableCache *>(this)->values256(family));
}

const uint256_t *VariableCache::values256(Family family) const
{
    switch (family) {
    case Persistent256:
        return m_persistents256;
    case Permanent256:
        return m_permanents256;
    default:
        return nullptr;
    }
}

uint16_t VariableCache::value16(Family family, int name) const
{
    const uint16_t *values = values16(family);
    return values && name >= 0 && name < count(family) ? values[name] : 0;
}

uint256_t VariableCache::value256(Family family, int name) const
{
    const uint256_t *values = values256(family);
    return values && name >= 0 && name < count(family) ? values[name] : uint256_t();
}

bool VariableCache::store16(Family family, int name, uint16_t value)
{
    uint16_t *values = values16(family);
    if (!values || name < 0 || name >= count(family))
        return false;
    values[name] = value;
    return true;
}

bool VariableCache::store256(Family family, int name, const uint256_t &value)
{
    uint256_t *values = values256(family);
    if (!values || name < 0 || name >= count(family))
        return false;
    values[name] = value;
    return true;
}

QVariantList VariableCache::list(Family family) const
{
    const int n = count(family);
    QVariantList list;
    list.reserve(n);
    for (int i = 0; i < n; ++i) {
        if (isWide(family))
            list.append(QVariant::fromValue(value256(family, i)));
        else
            list.append(QVariant::fromValue(ushort(value16(family, i))));
    }
    return list;
}
