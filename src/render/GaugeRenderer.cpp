#include "GaugeRenderer.h"

#include "ItemStyle.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <algorithm>
#include <cmath>

namespace {
constexpr double kTickStart = 0.93;   // ticks run from 93 % of the radius to the rim
constexpr double kBandTop = 0.6;      // the shaded band covers the lowest 40 % of the dial square
constexpr double kNutSize = 0.088;    // nut diameter per face width
constexpr double kNeedleReach = 1.4;  // needle tip per radius, before the 0.75 scale below
constexpr double kNeedleScale = 0.75;
constexpr double kNeedleBase = 1.22;
constexpr double kNeedleNotch = 0.06;

QPointF segmentPoint(const QPointF &c, const QPointF &rim, double t)
{
    return c + t * (rim - c);
}
}  // namespace

GaugeRenderer::Data::Data()
    : nutColor(ItemStyle::defaultNutColor()), borderColor(255, 255, 255), dashColor(ItemStyle::defaultDashColor())
{
}

QRectF GaugeRenderer::faceRect(const QRectF &rect, const Data &data)
{
    const double half = data.borderWidth / 2.0;
    return QRectF(rect.left(), rect.top(), rect.width(), rect.width()).adjusted(half, half, -half, -half);
}

QPointF GaugeRenderer::rimPoint(const QRectF &face, double fraction)
{
    const QPointF c = face.center();
    return c - QPointF(face.width() / 2.0 * std::cos(M_PI * fraction), face.height() / 2.0 * std::sin(M_PI * fraction));
}

double GaugeRenderer::needleFraction(const Data &data)
{
    if (!(data.maxValue > data.minValue))
        return 0.0;
    const double x = (data.value - data.minValue) / (data.maxValue - data.minValue);
    if (std::isnan(x))
        return 0.0;
    return std::clamp(x, 0.0, 1.0);
}

QPointF GaugeRenderer::shadowCorner(const QRectF &rect)
{
    const double r = rect.width() / 2.0;
    const QPointF c(rect.left() + r, rect.top() + r);
    // Below the dial square there is nothing to shade: an item taller than wide keeps the
    // corner at the bottom of the circle, as a square one does.
    const double o = std::clamp(rect.height() - r, -r, r);
    return QPointF(c.x() + r * std::sin(std::acos(o / r) + 3.0 * M_PI), c.y() + o);
}

void GaugeRenderer::drawFace(QPainter &painter, const QRectF &rect, const Data &data)
{
    if (!(rect.width() > 0.0) || !(rect.height() > 0.0))
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QRectF face = faceRect(rect, data);
    const QPointF c = face.center();

    QPen border(data.borderColor, int(data.borderWidth), Qt::SolidLine, Qt::SquareCap);
    painter.setPen(border);
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(face);

    if (data.tickMarks > 0) {
        painter.setPen(QPen(data.borderColor, int(data.tickWidth), Qt::SolidLine, Qt::SquareCap));
        for (int i = 0; i < data.tickMarks; ++i) {
            const double x = (i + 0.25) / (data.tickMarks - 0.5);
            const QPointF rim = rimPoint(face, x);
            painter.drawLine(segmentPoint(c, rim, kTickStart), rim);
        }
    }

    const QRectF square(rect.left(), rect.top(), rect.width(), rect.width());
    const QRectF band(square.left(), square.top() + kBandTop * square.height(), square.width(),
                      (1.0 - kBandTop) * square.height());
    painter.setPen(Qt::NoPen);
    painter.setBrush(data.dashColor);
    painter.setClipRect(band);
    painter.drawEllipse(square);
    painter.setClipping(false);

    QPainterPath shadow;
    shadow.moveTo(shadowCorner(rect));
    shadow.lineTo(band.topRight());
    shadow.lineTo(square.bottomRight());
    shadow.closeSubpath();
    painter.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    painter.fillPath(shadow, ItemStyle::gaugeShadowColor());
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);

    const double nut = kNutSize * face.width();
    painter.setBrush(data.nutColor);
    painter.drawEllipse(c, nut / 2.0, nut / 2.0);
    painter.restore();
}

void GaugeRenderer::drawNeedle(QPainter &painter, const QRectF &rect, const Data &data)
{
    if (!(rect.width() > 0.0) || !(rect.height() > 0.0))
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    const QRectF face = faceRect(rect, data);
    const QPointF p1 = face.center();
    const QPointF p2 = segmentPoint(p1, rimPoint(face, needleFraction(data)), kNeedleReach);
    const QPointF d = p2 - p1;
    const double length = std::hypot(d.x(), d.y());
    if (length > 0.0) {
        const QPointF u = d / length;
        const QPointF n(u.y(), -u.x());
        const double w = data.handWidth;
        const QPointF a = p2 + kNeedleBase * ((p1 + w * n) - p2);
        const QPointF b = p2 + kNeedleBase * ((p1 - w * n) - p2);
        const QPointF notch = (a + b) / 2.0 + kNeedleNotch * length * u;
        QTransform scale;
        scale.translate(p1.x(), p1.y());
        scale.scale(kNeedleScale, kNeedleScale);
        scale.translate(-p1.x(), -p1.y());
        painter.save();
        painter.setTransform(scale, true);
        painter.setBrush(data.nutColor);
        painter.drawPolygon(QPolygonF({a, p2, b, notch}));
        painter.restore();
    }

    const double nut = kNutSize * face.width();
    const QColor b = data.borderColor, n = data.nutColor;
    const QColor mix(int(0.8 * b.red() + 0.2 * n.red()), int(0.8 * b.green() + 0.2 * n.green()),
                     int(0.8 * b.blue() + 0.2 * n.blue()));
    const struct {
        double scale;
        QColor color;
    } caps[] = {{0.7, b}, {0.45, mix}, {0.33, n}};
    for (const auto &cap : caps) {
        painter.setBrush(cap.color);
        const double radius = nut * cap.scale / 2.0;
        painter.drawEllipse(p1, radius, radius);
    }
    painter.restore();
}

void GaugeRenderer::draw(QPainter &painter, const QRectF &rect, const Data &data)
{
    drawFace(painter, rect, data);
    drawNeedle(painter, rect, data);
}
