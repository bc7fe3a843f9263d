#include "GraphAxesRenderer.h"

#include "ItemStyle.h"

#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {
constexpr double kPenPerD = 0.002;
constexpr double kTickPerD = 0.016;
constexpr double kRangeLabelPerD = 0.03;
constexpr double kTitlePerD = 0.055;
constexpr int kMinimumFontPixels = 10;
constexpr double kLabelGap = 0.4;  // x range-label size, between a y label and the axis
constexpr double kTitleGap = 0.8;  // x font size, between the axis and the texts below/left
constexpr double kHeaderBoxGap = 1.2;

QString fixed(double value, int decimals)
{
    return QString::number(value, 'f', std::clamp(decimals, 0, GraphAxesRenderer::kMaxDecimals));
}

// A text placed by one of its corners; texts are single-line and never clipped.
void drawAnchored(QPainter &painter, const QPointF &anchor, Qt::Alignment align, const QString &text)
{
    painter.drawText(QRectF(anchor, QSizeF(0, 0)), int(align) | Qt::TextDontClip | Qt::TextSingleLine, text);
}

// Selection and hover boxes stay inside the plot horizontally.
double clampBoxLeft(double left, double width, const QRectF &plot)
{
    return std::max(plot.left(), std::min(left, plot.right() - width));
}
}  // namespace

double GraphAxesRenderer::penWidth(const QSizeF &size, const Data &data)
{
    return data.axisPenWidth < 0 ? kPenPerD * ItemStyle::referenceLength(size) : data.axisPenWidth;
}

double GraphAxesRenderer::tickLength(const QSizeF &size, const Data &data)
{
    return data.tickLength < 0 ? kTickPerD * ItemStyle::referenceLength(size) : data.tickLength;
}

int GraphAxesRenderer::rangeLabelPixelSize(const QSizeF &size, const Data &data)
{
    if (data.rangeLabelPixelSize > kMinimumFontPixels)
        return data.rangeLabelPixelSize;
    return std::max(kMinimumFontPixels, int(kRangeLabelPerD * ItemStyle::referenceLength(size)));
}

int GraphAxesRenderer::labelPixelSize(const QSizeF &size, const Data &data)
{
    const int px = data.labelPixelSize > 0 ? data.labelPixelSize : int(kTitlePerD * ItemStyle::referenceLength(size));
    return std::max(kMinimumFontPixels, px);
}

QFont GraphAxesRenderer::rangeLabelFont(const QSizeF &size, const Data &data)
{
    return ItemStyle::font(data.fontName, rangeLabelPixelSize(size, data));
}

QFont GraphAxesRenderer::labelFont(const QSizeF &size, const Data &data)
{
    return ItemStyle::font(data.fontName, labelPixelSize(size, data));
}

QStringList GraphAxesRenderer::rangeTexts(const Data &data)
{
    QStringList texts{fixed(data.minX, data.sigFigsX), fixed(data.maxX, data.sigFigsX), fixed(data.minY, data.sigFigsY),
                      fixed(data.maxY, data.sigFigsY)};
    if (data.axisLabelsX.size() > 1) {
        texts[0] = data.axisLabelsX.first();
        texts[1] = data.axisLabelsX.last();
    }
    if (data.axisLabelsY.size() > 1) {
        texts[2] = data.axisLabelsY.first();
        texts[3] = data.axisLabelsY.last();
    }
    return texts;
}

GraphAxesRenderer::Margins GraphAxesRenderer::margins(const QSizeF &size, const Data &data)
{
    const QStringList texts = rangeTexts(data);
    const QFont rangeFont = rangeLabelFont(size, data);
    const QFontMetricsF rm(rangeFont);
    const double p = rangeFont.pixelSize();
    const double extentLeft = kLabelGap * p + std::max(rm.horizontalAdvance(texts[2]), rm.horizontalAdvance(texts[3]));
    const double extentRight = rm.horizontalAdvance(texts[1]) / 2.0;
    const double extentTop = rm.boundingRect(texts[3]).height() / 2.0;
    const double extentBottom = std::max(rm.boundingRect(texts[0]).height(), rm.boundingRect(texts[1]).height()) / 2.0;

    const QFont titleFont = labelFont(size, data);
    const QFontMetricsF tm(titleFont);
    const double t = titleFont.pixelSize();
    const double w = penWidth(size, data);
    const double left = std::max(extentLeft, tm.boundingRect(data.labelY).height() + kTitleGap * t) + w;
    const double right = extentRight + w;
    const double top = extentTop + w;
    const double bottom = std::max(extentBottom, tm.boundingRect(data.labelX).height() + kTitleGap * t) + w;

    Margins m;
    m.left = std::max(data.minLeftMargin, data.padding + int(left));
    m.right = std::max(data.minRightMargin, data.padding + int(right));
    m.top = std::max(data.minTopMargin, data.padding + int(top));
    m.bottom = std::max(data.minBottomMargin, data.padding + int(bottom));
    return m;
}

QRectF GraphAxesRenderer::plotRect(const QRectF &bounds, const Data &data)
{
    const Margins m = margins(bounds.size(), data);
    return bounds.adjusted(m.left, m.top, -m.right, -m.bottom);
}

AxisMapping GraphAxesRenderer::mapping(const QRectF &bounds, const Data &data)
{
    return AxisMapping(plotRect(bounds, data), data.minX, data.maxX, data.minY, data.maxY);
}

void GraphAxesRenderer::draw(QPainter &painter, const QRectF &bounds, const Data &data)
{
    const QSizeF size = bounds.size();
    const QRectF r = plotRect(bounds, data);
    const double w = penWidth(size, data);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::TextAntialiasing, true);

    painter.setPen(QPen(data.strokeColor, w));
    if (data.axisAnimTimeX > 0)
        painter.drawLine(QPointF(r.left(), r.bottom()), QPointF(r.left() + r.width() * data.axisAnimTimeX, r.bottom()));
    if (data.axisAnimTimeY > 0)
        painter.drawLine(QPointF(int(r.left()), r.bottom()),
                         QPointF(int(r.left()), r.bottom() - r.height() * data.axisAnimTimeY));

    // Ticks closer than a pixel show nothing more, so their count is bounded by the plot size.
    painter.setPen(QPen(data.strokeColor, std::ceil(w), Qt::SolidLine, Qt::SquareCap));
    const double h = std::round(0.5 * tickLength(size, data));
    if (data.tickMarksX > 0 && data.axisAnimTimeY > 0 && r.width() > 0) {
        const int n = std::min(data.tickMarksX, int(r.width()) + 1);
        for (int i = 1; i <= n; ++i) {
            const double f = double(i) / n;
            if (f > data.axisAnimTimeY)
                break;
            const double x = int(r.left() + r.width() * f);
            painter.drawLine(QPointF(x, r.bottom() - h), QPointF(x, r.bottom() + h));
        }
    }
    if (data.tickMarksY > 0 && data.axisAnimTimeX > 0 && r.height() > 0) {
        const int n = std::min(data.tickMarksY, int(r.height()) + 1);
        for (int i = 1; i <= n; ++i) {
            const double f = double(i) / n;
            if (f > data.axisAnimTimeX)
                break;
            const double y = int(r.bottom() - r.height() * f);
            painter.drawLine(QPointF(r.left() - h, y), QPointF(r.left() + h, y));
        }
    }

    const QStringList texts = rangeTexts(data);
    const QFont rangeFont = rangeLabelFont(size, data);
    const int p = rangeFont.pixelSize();
    painter.setFont(rangeFont);
    painter.setPen(data.strokeColor);
    if (data.drawLabelX) {
        const double y = r.bottom() + int(kTitleGap * p);
        drawAnchored(painter, QPointF(r.left(), y), Qt::AlignLeft | Qt::AlignTop, texts[0]);
        drawAnchored(painter, QPointF(r.right(), y), Qt::AlignRight | Qt::AlignTop, texts[1]);
    }
    if (data.drawLabelY) {
        const double x = r.left() - int(kLabelGap * p);
        drawAnchored(painter, QPointF(x, r.top()), Qt::AlignRight | Qt::AlignTop, texts[3]);
        drawAnchored(painter, QPointF(x, r.bottom()), Qt::AlignRight | Qt::AlignBottom, texts[2]);
    }

    const QFont titleFont = labelFont(size, data);
    const int t = titleFont.pixelSize();
    painter.setFont(titleFont);
    if (data.drawLabelX && !data.labelX.isEmpty())
        drawAnchored(painter, QPointF(r.center().x(), r.bottom() + int(kTitleGap * t)), Qt::AlignHCenter | Qt::AlignTop,
                     data.labelX);
    if (data.drawLabelY && !data.labelY.isEmpty()) {
        painter.translate(r.left() - int(kTitleGap * t), r.center().y());
        painter.rotate(-90);
        drawAnchored(painter, QPointF(0, 0), Qt::AlignHCenter | Qt::AlignBottom, data.labelY);
    }
    painter.restore();
}

bool GraphAxesRenderer::hasSelection(double start, double end)
{
    return end > kNoSelection && std::abs(start - end) * 1e12 > std::min(std::abs(start), std::abs(end));
}

void GraphAxesRenderer::drawSelection(QPainter &painter, const QRectF &bounds, const Data &data,
                                      const Selection &selection)
{
    const QRectF r = plotRect(bounds, data);
    const AxisMapping map(r, data.minX, data.maxX, data.minY, data.maxY);
    const QPointF p1 = map.map(selection.start, data.minY);
    const QPointF p2 = map.map(selection.end, data.maxY);
    if (!std::isfinite(p1.x()) || !std::isfinite(p2.x()))
        return;
    const double x1 = ItemStyle::clampCoordinate(p1.x()), x2 = ItemStyle::clampCoordinate(p2.x());
    const double w = penWidth(bounds.size(), data);

    painter.save();
    painter.setPen(QPen(selection.color, w));
    painter.setBrush(selection.color);
    painter.drawLine(QPointF(x1, p1.y()), QPointF(x1, p2.y()));
    painter.drawLine(QPointF(x2, p1.y()), QPointF(x2, p2.y()));
    painter.drawRect(QRectF(QPointF(x1, p1.y()), QPointF(x2, p2.y())).normalized());

    const QFont font = ItemStyle::font(data.fontName, rangeLabelPixelSize(bounds.size(), data), ItemStyle::kBoldWeight);
    painter.setFont(font);
    const QFontMetricsF fm(font);
    const double lineHeight = fm.height();
    const double pad = ItemStyle::kBoxPadding * lineHeight;
    const double radius = ItemStyle::kBoxRadius * lineHeight;
    const double boxHeight = ItemStyle::kBoxLineHeight * lineHeight;

    auto labelBox = [&](const QString &text, double centre) {
        const double width = fm.horizontalAdvance(text) + pad;
        const double left = clampBoxLeft(centre - width / 2.0, width, r);
        return QRectF(left - 1, p1.y() - 1 - boxHeight, width, boxHeight);
    };
    QRectF startBox = labelBox(selection.startLabel, x1);
    QRectF endBox = labelBox(selection.endLabel, x2);
    if (startBox.left() < endBox.right() && endBox.left() < startBox.right())
        endBox.translate(0, -kHeaderBoxGap * lineHeight);
    if (!selection.startLabel.isEmpty())
        ItemStyle::drawTextBox(painter, startBox, radius, selection.startLabel);
    if (!selection.endLabel.isEmpty())
        ItemStyle::drawTextBox(painter, endBox, radius, selection.endLabel);

    if (!selection.header.isEmpty()) {
        const QStringList lines = selection.header.split(QLatin1Char('\n'));
        double widest = 0;
        for (const QString &line : lines)
            widest = std::max(widest, fm.horizontalAdvance(line));
        const double width = int(widest + pad);
        const double left = clampBoxLeft((x1 + x2 - width) / 2.0, width, r);
        const QRectF box(left, p2.y() + w, width, (lines.size() + ItemStyle::kBoxExtraLines) * fm.lineSpacing());
        ItemStyle::drawTextBox(painter, box, radius, selection.header);
    }
    painter.restore();
}
