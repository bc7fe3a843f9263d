#pragma once

#include <QPointF>
#include <QRectF>

// Data units to pixels for a plot rectangle: x grows to the right from the left edge, y grows
// upwards from the bottom edge. A plot without area, or a data range without extent (or not
// finite), maps that axis with a zero scale onto the plot's left or bottom edge.
class AxisMapping
{
public:
    AxisMapping() = default;
    AxisMapping(const QRectF &plot, double minX, double maxX, double minY, double maxY);

    QPointF map(const QPointF &data) const;
    QPointF map(double x, double y) const { return map(QPointF(x, y)); }
    // Pixel back to data; an axis with a zero scale gives its minimum.
    QPointF unmap(const QPointF &pixel) const;

    double scaleX() const { return m_scaleX; }
    double scaleY() const { return m_scaleY; }

private:
    double m_left = 0, m_bottom = 0;
    double m_minX = 0, m_minY = 0;
    double m_scaleX = 0, m_scaleY = 0;
};
