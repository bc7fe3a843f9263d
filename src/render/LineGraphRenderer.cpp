#include "LineGraphRenderer.h"

#include "ItemStyle.h"

#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {
constexpr double kLinePerD = 0.015;
constexpr double kDotPerLine = 2.5;
constexpr double kPointLabelPerD = 0.025;
constexpr int kMinimumLabelPixels = 10;
constexpr int kPointLabelWeight = 63;
constexpr double kValueFontScale = 0.75;
constexpr double kRingPerDot = 0.66;
constexpr double kFlagPerDot = 1.5;
constexpr double kLeader = 0.095;       // x plot height
constexpr double kLabelOffset = 0.115;  // x plot height
constexpr double kValueLineGap = 1.5;   // x label font size
constexpr double kTextLineGap = 1.2;    // x label font size
constexpr int kCancelCheckEvery = 4096;

bool finite(const QPointF &p)
{
    return std::isfinite(p.x()) && std::isfinite(p.y());
}

QPointF clamped(const QPointF &p)
{
    return QPointF(ItemStyle::clampCoordinate(p.x()), ItemStyle::clampCoordinate(p.y()));
}

// The marker shape: a pole in the middle with a pennant to its right, white on transparent.
QImage defaultFlagShape()
{
    QImage shape(48, 64, QImage::Format_ARGB32_Premultiplied);
    shape.fill(Qt::transparent);
    QPainter p(&shape);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(QRectF(22, 0, 4, 64), Qt::white);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPolygon(QPolygonF({QPointF(26, 0), QPointF(48, 12), QPointF(26, 26)}));
    return shape;
}

// Consecutive points in one pixel column draw as one vertical stroke: the line keeps the
// first, the lowest, the highest and the last of them, in their order, and the filled area
// under it keeps the highest. Both look the same as with every point; a hundred thousand
// points then cost what a few thousand do.
struct ThinnedLine {
    std::vector<QPointF> line;
    std::vector<QPointF> top;
};

ThinnedLine thinOut(const std::vector<QPointF> &in)
{
    ThinnedLine out;
    out.line.reserve(std::min(in.size(), size_t(8192)));
    out.top.reserve(std::min(in.size(), size_t(8192)));
    size_t i = 0;
    while (i < in.size()) {
        const double column = std::floor(in[i].x());
        size_t end = i + 1;
        size_t lo = i, hi = i;
        while (end < in.size() && std::floor(in[end].x()) == column) {
            if (in[end].y() < in[lo].y())
                lo = end;
            if (in[end].y() > in[hi].y())
                hi = end;
            ++end;
        }
        if (end - i <= 4) {
            out.line.insert(out.line.end(), in.begin() + std::ptrdiff_t(i), in.begin() + std::ptrdiff_t(end));
            out.top.insert(out.top.end(), in.begin() + std::ptrdiff_t(i), in.begin() + std::ptrdiff_t(end));
        } else {
            const size_t keep[4] = {i, std::min(lo, hi), std::max(lo, hi), end - 1};
            for (int k = 0; k < 4; ++k)
                if (k == 0 || keep[k] != keep[k - 1])
                    out.line.push_back(in[keep[k]]);
            out.top.emplace_back(in[i].x(), in[lo].y());  // pixel y grows downwards
            out.top.emplace_back(in[end - 1].x(), in[lo].y());
        }
        i = end;
    }
    return out;
}

// Qt's rasteriser slows down sharply on one long self-overlapping stroke; long lines are
// stroked in pieces that share their end points.
constexpr size_t kStrokePiece = 64;
constexpr size_t kPiecesFrom = 1024;

void drawText(QPainter &painter, const QPointF &anchor, Qt::Alignment align, const QString &text)
{
    painter.drawText(QRectF(anchor, QSizeF(0, 0)), int(align) | Qt::TextDontClip | Qt::TextSingleLine, text);
}
}  // namespace

LineGraphRenderer::Data::Data()
    : lineColor(ItemStyle::defaultLineColor()), fillColor(0, 0, 0, 0), dotColor(ItemStyle::defaultDotColor())
{
}

double LineGraphRenderer::lineWidth(const QSizeF &size, const Data &data)
{
    return data.lineWidth < 0 ? kLinePerD * ItemStyle::referenceLength(size) : data.lineWidth;
}

double LineGraphRenderer::dotWidth(const QSizeF &size, const Data &data)
{
    return data.dotWidth < 0 ? kDotPerLine * lineWidth(size, data) : data.dotWidth;
}

int LineGraphRenderer::pointLabelPixelSize(const QSizeF &size, const Data &data)
{
    const int px = data.pointLabelPixelSize > 0 ? data.pointLabelPixelSize
                                                : int(kPointLabelPerD * ItemStyle::referenceLength(size));
    return std::max(kMinimumLabelPixels, px);
}

int LineGraphRenderer::flagHeight(const QSizeF &size, const Data &data)
{
    const double h = kFlagPerDot * dotWidth(size, data);
    return std::isfinite(h) ? int(std::clamp(h, 0.0, 4096.0)) : 0;
}

QImage LineGraphRenderer::makeFlag(const QColor &color, int height)
{
    if (height <= 0)
        return QImage();
    QImage shape(QStringLiteral(":/images/flag_point.png"));
    if (shape.isNull())
        shape = defaultFlagShape();
    QImage flag =
        shape.convertToFormat(QImage::Format_ARGB32_Premultiplied).scaledToHeight(height, Qt::SmoothTransformation);
    QPainter p(&flag);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(flag.rect(), color);
    return flag;
}

void LineGraphRenderer::draw(QPainter &painter, const QRectF &bounds, const Data &data,
                             const std::atomic_bool *cancelled)
{
    GraphAxesRenderer::draw(painter, bounds, data.axes);
    const bool hasPoints = data.points && !data.points->empty();
    if (!hasPoints || bounds.width() < 3 || bounds.height() < 3)
        return;
    const QSizeF size = bounds.size();
    const GraphAxesRenderer::Data &axes = data.axes;
    const QRectF plot = GraphAxesRenderer::plotRect(bounds, axes);
    const AxisMapping map(plot, axes.minX, axes.maxX, axes.minY, axes.maxY);
    const double axisPen = GraphAxesRenderer::penWidth(size, axes);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    if (data.points->size() >= 2 && !drawLine(painter, size, plot, map, axisPen, data, cancelled)) {
        painter.restore();
        return;
    }
    if (!data.labelledPoints.empty())
        drawLabelledPoints(painter, bounds, plot, map, data);
    painter.restore();
}

// The line and the area under it, clipped to the axes' range. False when cancelled.
bool LineGraphRenderer::drawLine(QPainter &painter, const QSizeF &size, const QRectF &plot, const AxisMapping &map,
                                 double axisPen, const Data &data, const std::atomic_bool *cancelled)
{
    const GraphAxesRenderer::Data &axes = data.axes;
    std::vector<QPointF> mapped;
    mapped.reserve(data.points->size());
    size_t i = 0;
    for (const QPointF &point : *data.points) {
        if (cancelled && ++i % kCancelCheckEvery == 0 && cancelled->load(std::memory_order_relaxed))
            return false;
        const QPointF p = map.map(point);
        if (finite(point) && finite(p))  // a gap in the data, not a line to infinity
            mapped.push_back(clamped(p));
    }
    const ThinnedLine thinned = thinOut(mapped);
    const bool started = !thinned.line.empty();
    const QPointF lo = map.map(axes.minX, axes.minY), hi = map.map(axes.maxX, axes.maxY);
    QRectF clip = QRectF(clamped(lo), clamped(hi)).normalized();
    // A range without extent has no band to clip to: the plot's own extent stands in.
    if (!(clip.width() > 0)) {
        clip.setLeft(plot.left());
        clip.setRight(plot.right());
    }
    if (!(clip.height() > 0)) {
        clip.setTop(plot.top());
        clip.setBottom(plot.bottom());
    }
    clip.setLeft(clip.left() + axisPen / 2.0);
    clip.setBottom(clip.bottom() - axisPen / 2.0);
    painter.setClipRect(clip);
    if (started && data.fillColor.alpha() > 0) {
        QPolygonF area(int(thinned.top.size()) + 2);
        std::copy(thinned.top.begin(), thinned.top.end(), area.begin());
        area[int(thinned.top.size())] = QPointF(thinned.top.back().x(), clip.bottom());
        area[int(thinned.top.size()) + 1] = QPointF(thinned.top.front().x(), clip.bottom());
        painter.setPen(Qt::NoPen);
        painter.setBrush(data.fillColor);
        painter.drawPolygon(area);
    }
    painter.setPen(QPen(data.lineColor, int(lineWidth(size, data)), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    const size_t n = thinned.line.size();
    const size_t piece = n >= kPiecesFrom ? kStrokePiece : n;
    for (size_t first = 0; first + 1 < n; first += piece - 1) {
        if (cancelled && cancelled->load(std::memory_order_relaxed))
            break;
        painter.drawPolyline(thinned.line.data() + first, int(std::min(piece, n - first)));
    }
    painter.setClipping(false);
    return true;
}

// The marked points: a dot, ring or flag each, with a leader line and label above or below.
void LineGraphRenderer::drawLabelledPoints(QPainter &painter, const QRectF &bounds, const QRectF &plot,
                                           const AxisMapping &map, const Data &data)
{
    const QSizeF size = bounds.size();
    const GraphAxesRenderer::Data &axes = data.axes;
    const double h = plot.height();
    const int f1Size = std::max(8, pointLabelPixelSize(size, data));
    const QFont f1 = ItemStyle::font(axes.fontName, f1Size, kPointLabelWeight);
    const QFont f2 =
        ItemStyle::font(axes.fontName, std::max(kMinimumLabelPixels, int(std::lround(kValueFontScale * f1Size))),
                        ItemStyle::kBoldWeight);
    const double dot = dotWidth(size, data);
    const QPen dotPen(data.dotColor, dot, Qt::SolidLine, Qt::RoundCap);
    const QPen ringPen(ItemStyle::ringColor(), kRingPerDot * dot, Qt::SolidLine, Qt::RoundCap);
    const QPen leaderPen(ItemStyle::leaderColor());
    const QPen textPen(ItemStyle::strokeColor());
    QImage flag = data.flag;
    for (const Point &lp : data.labelledPoints) {
        const QPointF mapped = map.map(lp.point);
        if (!finite(lp.point) || !finite(mapped))
            continue;
        const QPointF p = clamped(mapped);
        // A label centred on a point near the item's edge would be cut off: it moves inward just
        // enough to be read whole (the leader line still marks the point), sideways and up or down.
        const auto labelX = [&](const QFont &font, const QString &text) {
            const double half = QFontMetricsF(font).horizontalAdvance(text) / 2.0;
            if (2 * half >= bounds.width())
                return bounds.center().x();
            return std::clamp(p.x(), bounds.left() + half, bounds.right() - half);
        };
        if (!lp.text.isEmpty()) {
            const double leader = kLeader * h, offset = kLabelOffset * h;
            if (lp.labelBelow) {
                painter.setPen(leaderPen);
                painter.drawLine(p, p + QPointF(0, leader));
                const double tall = lp.valueText.isEmpty() ? QFontMetricsF(f1).height()
                                                           : kValueLineGap * f1Size + QFontMetricsF(f2).height();
                const double y = std::max(bounds.top(), std::min(p.y() + offset, bounds.bottom() - tall));
                painter.setPen(textPen);
                painter.setFont(f1);
                drawText(painter, QPointF(labelX(f1, lp.text), y), Qt::AlignHCenter | Qt::AlignTop, lp.text);
                if (!lp.valueText.isEmpty()) {
                    painter.setPen(dotPen);
                    painter.setFont(f2);
                    drawText(painter, QPointF(labelX(f2, lp.valueText), y + kValueLineGap * f1Size),
                             Qt::AlignHCenter | Qt::AlignTop, lp.valueText);
                }
            } else {
                painter.setPen(leaderPen);
                painter.drawLine(p, p - QPointF(0, leader));
                const double tall = lp.valueText.isEmpty() ? QFontMetricsF(f1).height()
                                                           : kTextLineGap * f1Size + QFontMetricsF(f1).height();
                const double y = std::min(bounds.bottom(), std::max(p.y() - offset, bounds.top() + tall));
                painter.setPen(textPen);
                painter.setFont(f1);
                if (!lp.valueText.isEmpty()) {
                    drawText(painter, QPointF(labelX(f1, lp.text), y - kTextLineGap * f1Size),
                             Qt::AlignHCenter | Qt::AlignBottom, lp.text);
                    painter.setPen(dotPen);
                    painter.setFont(f2);
                    drawText(painter, QPointF(labelX(f2, lp.valueText), y), Qt::AlignHCenter | Qt::AlignBottom,
                             lp.valueText);
                } else {
                    drawText(painter, QPointF(labelX(f1, lp.text), y), Qt::AlignHCenter | Qt::AlignBottom, lp.text);
                }
            }
        }
        painter.setPen(dotPen);
        painter.drawPoint(p);
        if (lp.pointType == PointMark_Circle) {
            painter.setPen(ringPen);
            painter.drawPoint(p);
        } else if (lp.pointType == PointMark_Flag) {
            const int height = flagHeight(size, data);
            if (flag.height() != height)
                flag = makeFlag(data.dotColor, height);
            if (!flag.isNull())
                painter.drawImage(QPointF(p.x() - int(flag.width() / 2), p.y() - flag.height()), flag);
        }
    }
}
