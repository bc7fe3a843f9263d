#include "ItemStyle.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace ItemStyle {

double referenceLength(const QSizeF &size)
{
    return std::min(size.width(), 1.25 * size.height());
}

QColor strokeColor()
{
    return QColor(255, 255, 255);
}
QColor boxFillColor()
{
    return QColor(0, 0, 0, 130);
}
QColor boxTextColor()
{
    return QColor(255, 255, 255);
}

void drawTextBox(QPainter &painter, const QRectF &box, double radius, const QString &text)
{
    painter.setPen(Qt::NoPen);
    painter.setBrush(boxFillColor());
    painter.drawRoundedRect(box, radius, radius);
    painter.setPen(boxTextColor());
    painter.setBrush(Qt::NoBrush);
    painter.drawText(box, Qt::AlignCenter, text);
}

QString defaultFontFamily()
{
    return QStringLiteral("Arial");
}

QFont font(const QString &family, int pixelSize, int weight)
{
    QFont f(family);
    f.setPixelSize(std::max(1, pixelSize));
    f.setWeight(weight);
    return f;
}

QColor defaultSelectionColor()
{
    return QColor(255, 180, 0, 140);
}
QColor hoverColumnColor()
{
    return QColor::fromRgba64(65535, 65535, 65535, 33000);
}
QColor defaultBarColor()
{
    return QColor(QStringLiteral("#11e8ca"));
}
QColor defaultLineColor()
{
    return QColor(0, 255, 0);
}
QColor defaultDotColor()
{
    return QColor(255, 255, 255);
}
QColor ringColor()
{
    return QColor(QStringLiteral("#5d5d5d"));
}
QColor leaderColor()
{
    return QColor(255, 255, 255, 190);
}

QColor defaultNutColor()
{
    return QColor(Qt::red);
}
QColor defaultDashColor()
{
    return QColor(167, 167, 167);
}
QColor gaugeShadowColor()
{
    return QColor(0, 0, 0, 220);
}

QColor axisXColor()
{
    return QColor(255, 0, 120, 127);
}
QColor axisYColor()
{
    return QColor(120, 0, 255, 127);
}
QColor axisZColor()
{
    return QColor(100, 100, 100, 100);
}
QColor circleColor()
{
    return QColor(255, 255, 0, 128);
}
QColor hullColor()
{
    return QColor(0, 255, 255, 128);
}

double clampCoordinate(double v)
{
    if (std::isnan(v))
        return 0.0;
    return std::clamp(v, -kCoordinateLimit, kCoordinateLimit);
}

}  // namespace ItemStyle
