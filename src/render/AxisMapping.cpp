#include "AxisMapping.h"

#include <cmath>

namespace {
double axisScale(double pixels, double lo, double hi)
{
    const double range = hi - lo;
    if (!(std::abs(pixels) > 0.0) || !std::isfinite(range) || range == 0.0)
        return 0.0;
    const double s = pixels / range;
    return std::isfinite(s) ? s : 0.0;
}
}  // namespace

AxisMapping::AxisMapping(const QRectF &plot, double minX, double maxX, double minY, double maxY)
    : m_left(plot.left()), m_bottom(plot.bottom()), m_minX(minX), m_minY(minY)
{
    if (plot.width() > 0.0 && plot.height() > 0.0) {
        m_scaleX = axisScale(plot.width(), minX, maxX);
        m_scaleY = axisScale(-plot.height(), minY, maxY);
    }
}

QPointF AxisMapping::map(const QPointF &data) const
{
    return QPointF(m_left + m_scaleX * (data.x() - m_minX), m_bottom + m_scaleY * (data.y() - m_minY));
}

QPointF AxisMapping::unmap(const QPointF &pixel) const
{
    const double x = m_scaleX != 0.0 ? m_minX + (pixel.x() - m_left) / m_scaleX : m_minX;
    const double y = m_scaleY != 0.0 ? m_minY + (pixel.y() - m_bottom) / m_scaleY : m_minY;
    return QPointF(x, y);
}
