#include "BarGraphRenderer.h"

#include "ItemStyle.h"

#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {
constexpr size_t kCancelCheckEvery = 65536;

double clampBoxLeft(double left, double width, const QRectF &area)
{
    return std::max(area.left(), std::min(left, area.right() - width));
}
}  // namespace

BarGraphRenderer::Data::Data() : barColor(ItemStyle::defaultBarColor()) {}

QRectF BarGraphRenderer::barArea(const QRectF &bounds, const GraphAxesRenderer::Data &axes)
{
    const QRectF plot = GraphAxesRenderer::plotRect(bounds, axes);
    const double w = GraphAxesRenderer::penWidth(bounds.size(), axes);
    return QRectF(plot.left() + w, plot.top() - w, plot.width(), plot.height() + w);
}

namespace {
// Bar i's left edge and width, relative to the area: rounded to whole pixels, at least one
// pixel wide, and never past the area's last pixel column.
std::pair<double, double> barSpan(double barWidth, double areaWidth, size_t i)
{
    double x0 = std::round(double(i) * barWidth);
    const double width = std::max(std::round(double(i + 1) * barWidth) - x0, 1.0);
    const double last = std::floor(areaWidth) - width;
    if (x0 > last)
        x0 = std::max(0.0, last);
    return {x0, width};
}
}  // namespace

std::pair<double, double> BarGraphRenderer::column(const QRectF &area, size_t n, int64_t i)
{
    const double b = n ? area.width() / double(n) : 0.0;
    const auto [x0, width] = barSpan(b, area.width(), size_t(std::max<int64_t>(i, 0)));
    return {area.left() + x0, area.left() + x0 + width};
}

void BarGraphRenderer::draw(QPainter &painter, const QRectF &bounds, const Data &data,
                            const std::atomic_bool *cancelled)
{
    GraphAxesRenderer::draw(painter, bounds, data.axes);
    if (!data.values || data.values->empty())
        return;
    const double range = data.axes.maxY - data.axes.minY;
    if (!(range > 0.0) || !std::isfinite(range))
        return;
    const QRectF area = barArea(bounds, data.axes);
    if (!(area.width() > 0.0) || !(area.height() > 0.0))
        return;
    const std::vector<double> &values = *data.values;
    const size_t n = values.size();
    const double b = area.width() / double(n);
    const double h = area.height();

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.translate(area.topLeft());
    // Bars that round to the same pixel column are drawn once, at the tallest of them: with a
    // million bars on a thousand pixels that is what can be seen anyway.
    double columnX = -1, columnWidth = 0, columnHeight = 0;
    auto flush = [&] {
        if (columnHeight > 0)
            painter.fillRect(QRectF(columnX, h, columnWidth, -columnHeight), data.barColor);
    };
    for (size_t i = 0; i < n; ++i) {
        if (cancelled && i % kCancelCheckEvery == 0 && cancelled->load(std::memory_order_relaxed))
            break;
        const auto [x0, width] = barSpan(b, area.width(), i);
        double fraction = (values[i] - data.axes.minY) / range;
        if (std::isnan(fraction))
            fraction = 0.0;
        // Values outside the range stop at the plot's edges instead of running over the labels.
        const double height = h * std::clamp(fraction, 0.0, 1.0);
        if (x0 == columnX && width == columnWidth) {
            columnHeight = std::max(columnHeight, height);
            continue;
        }
        flush();
        columnX = x0;
        columnWidth = width;
        columnHeight = height;
    }
    flush();
    painter.restore();
}

void BarGraphRenderer::drawHover(QPainter &painter, const QRectF &bounds, const GraphAxesRenderer::Data &axes,
                                 size_t count, const Hover &hover)
{
    if (hover.index < 0 || uint64_t(hover.index) >= count)
        return;
    const QRectF area = barArea(bounds, axes);
    const auto [x0, x1] = column(area, count, hover.index);
    painter.save();
    painter.fillRect(QRectF(x0, area.top(), x1 - x0, area.height()), ItemStyle::hoverColumnColor());

    const QFont font = ItemStyle::font(axes.fontName, GraphAxesRenderer::rangeLabelPixelSize(bounds.size(), axes),
                                       ItemStyle::kBoldWeight);
    painter.setFont(font);
    const QFontMetricsF fm(font);
    const double lineHeight = fm.height();
    const double pad = ItemStyle::kBoxPadding * lineHeight;
    const double radius = ItemStyle::kBoxRadius * lineHeight;
    if (!hover.header.isEmpty()) {
        const QStringList lines = hover.header.split(QLatin1Char('\n'));
        double widest = 0;
        for (const QString &line : lines)
            widest = std::max(widest, fm.horizontalAdvance(line));
        const double width = widest + pad;
        const QRectF box(clampBoxLeft((x0 + x1 - width) / 2.0, width, area), area.top() + 1, width,
                         (lines.size() + ItemStyle::kBoxExtraLines) * fm.lineSpacing());
        ItemStyle::drawTextBox(painter, box, radius, hover.header);
    }
    if (!hover.footer.isEmpty()) {
        const double width = fm.horizontalAdvance(hover.footer) + pad;
        const double height = ItemStyle::kBoxLineHeight * lineHeight;
        const QRectF box(clampBoxLeft((x0 + x1 - width) / 2.0, width, area), area.bottom() - 1 - height, width, height);
        ItemStyle::drawTextBox(painter, box, radius, hover.footer);
    }
    painter.restore();
}
