#include "LabelledPoint.h"

#include <algorithm>
#include <cmath>

namespace {
bool sameCoordinate(double a, double b)
{
    constexpr double kTolerance = 1e-12;
    if (a == 0.0 || b == 0.0)
        return std::abs(a - b) <= kTolerance;
    return std::abs(a - b) <= kTolerance * std::min(std::abs(a), std::abs(b));
}
}  // namespace

LabelledPoint::LabelledPoint(QObject *parent) : QObject(parent) {}

LabelledPoint::~LabelledPoint() = default;

bool LabelledPoint::samePoint(const QPointF &a, const QPointF &b)
{
    return sameCoordinate(a.x(), b.x()) && sameCoordinate(a.y(), b.y());
}

LabelledPoint *LabelledPoint::clone(QObject *parent) const
{
    auto *copy = new LabelledPoint(parent);
    copy->m_point = m_point;
    copy->m_text = m_text;
    copy->m_valueText = m_valueText;
    copy->m_pointType = m_pointType;
    copy->m_labelBelow = m_labelBelow;
    return copy;
}

void LabelledPoint::setPoint(const QPointF &point)
{
    if (samePoint(m_point, point))
        return;
    m_point = point;
    emit pointChanged(point);
}

void LabelledPoint::setText(const QString &text)
{
    if (m_text == text)
        return;
    m_text = text;
    emit textChanged(text);
}

void LabelledPoint::setValueText(const QString &valueText)
{
    if (m_valueText == valueText)
        return;
    m_valueText = valueText;
    emit valueTextChanged(valueText);
}

void LabelledPoint::setPointType(PointType pointType)
{
    if (m_pointType == pointType)
        return;
    m_pointType = pointType;
    emit pointTypeChanged(pointType);
}

void LabelledPoint::setLabelBelow(bool labelBelow)
{
    if (m_labelBelow == labelBelow)
        return;
    m_labelBelow = labelBelow;
    emit labelBelowChanged(labelBelow);
}
