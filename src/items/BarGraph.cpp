#include "BarGraph.h"

#include <QPainter>

#include <cmath>

BarGraph::BarGraph(QQuickItem *parent) : GraphAxes(parent)
{
    setHoverAlways(true);
    connect(this, &GraphAxes::mouseGrabbedChanged, this, [this] { setBarHoveredIndex(-1); });
}

BarGraph::~BarGraph() = default;

void BarGraph::setBarColor(const QColor &v)
{
    assign(m_bars.barColor, v, &BarGraph::barColorChanged, true);
}
void BarGraph::setBarHoveredHeader(const QString &v)
{
    assign(m_hover.header, v, &BarGraph::barHoveredHeaderChanged, false);
}
void BarGraph::setBarHoveredFooter(const QString &v)
{
    assign(m_hover.footer, v, &BarGraph::barHoveredFooterChanged, false);
}
void BarGraph::setBarHoveredIndex(qint64 v)
{
    assign(m_hover.index, int64_t(v), &BarGraph::barHoveredIndexChanged, false);
}

size_t BarGraph::dataPointsLength() const
{
    return m_bars.values ? m_bars.values->size() : 0;
}

void BarGraph::setDataPoints(DataSeriesVectorPtr points)
{
    setBarHoveredIndex(-1);
    m_bars.values = std::move(points);
    invalidateCache();
    emit dataPointsChanged();
}

void BarGraph::clearDataPoints()
{
    setDataPoints(nullptr);
}

BarGraphRenderer::Data BarGraph::snapshot() const
{
    BarGraphRenderer::Data data = m_bars;
    data.axes = axesData();
    return data;
}

GraphAxes::Proxy BarGraph::createProxy() const
{
    // The series is shared, not copied: whoever hands it over no longer changes it.
    return [data = snapshot()](QPainter &painter, const QRectF &bounds, const std::atomic_bool &cancelled) {
        BarGraphRenderer::draw(painter, bounds, data, &cancelled);
    };
}

void BarGraph::paintOverlay(QPainter *painter)
{
    const QRectF bounds(0, 0, width(), height());
    painter->save();
    painter->setClipRect(BarGraphRenderer::barArea(bounds, axesData()));
    const bool selected = hasSelection();
    if (mouseGrabbed() || selected)
        GraphAxesRenderer::drawSelection(*painter, bounds, axesData(), selection());
    if (!selected)
        BarGraphRenderer::drawHover(*painter, bounds, axesData(), dataPointsLength(), m_hover);
    painter->restore();
}

void BarGraph::hoverMoveEvent(QHoverEvent *event)
{
    GraphAxes::hoverMoveEvent(event);
    event->accept();
    if (hasSelection() || mouseGrabbed())
        return;
    const double bin = std::floor(mousePositionToSelection(event->posF(), false));
    // Far outside any series (or not a number): no bar.
    const bool representable = bin >= -9.0e18 && bin <= 9.0e18;
    setBarHoveredIndex(representable ? qint64(bin) : -1);
}

void BarGraph::hoverLeaveEvent(QHoverEvent *event)
{
    // The highlight follows the pointer: it goes when the pointer leaves the graph.
    event->accept();
    setBarHoveredIndex(-1);
}
