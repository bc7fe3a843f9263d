#include "WrappedDecider.h"

WrappedDecider::WrappedDecider(QObject *parent) : QObject(parent) {}

WrappedDecider::~WrappedDecider() = default;

void WrappedDecider::reset()
{
    decider().reset();
}

void WrappedDecider::setPulseCount(int pulseCount)
{
    if (pulseCount == m_pulseCount)
        return;
    m_pulseCount = pulseCount;
    emit pulseCountChanged();
}
