#include "LineGraph.h"

#include "LabelledPoint.h"

#include <QQmlEngine>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
constexpr double kMinimumAxisExtent = 1e-5;
}

LineGraph::LineGraph(QQuickItem *parent) : GraphAxes(parent)
{
    m_line.points = std::make_shared<const std::vector<QPointF>>();
    connect(this, &LineGraph::dataPointsChanged, this, &LineGraph::onDataPointsChanged);
    connect(this, &LineGraph::labelledPointsChanged, this, [this] {
        m_flag = QImage();
        invalidateCache();
    });
}

LineGraph::~LineGraph()
{
    deleteLabelledPoints();
}

void LineGraph::setLineWidth(double v)
{
    assign(m_line.lineWidth, v, &LineGraph::lineWidthChanged, true);
}
void LineGraph::setDotWidth(double v)
{
    assign(m_line.dotWidth, v, &LineGraph::dotWidthChanged, true);
}
void LineGraph::setLineColor(const QColor &v)
{
    assign(m_line.lineColor, v, &LineGraph::lineColorChanged, true);
}
void LineGraph::setFillColor(const QColor &v)
{
    assign(m_line.fillColor, v, &LineGraph::fillColorChanged, true);
}
void LineGraph::setDotColor(const QColor &v)
{
    assign(m_line.dotColor, v, &LineGraph::dotColorChanged, true);
}
void LineGraph::setPointLabelPixelSize(int v)
{
    assign(m_line.pointLabelPixelSize, v, &LineGraph::pointLabelPixelSizeChanged, true);
}
void LineGraph::setAutoUpdateXMin(bool v)
{
    assign(m_autoXMin, v, &LineGraph::autoUpdateXMinChanged, true);
}
void LineGraph::setAutoUpdateXMax(bool v)
{
    assign(m_autoXMax, v, &LineGraph::autoUpdateXMaxChanged, true);
}
void LineGraph::setAutoUpdateYMin(bool v)
{
    assign(m_autoYMin, v, &LineGraph::autoUpdateYMinChanged, true);
}
void LineGraph::setAutoUpdateYMax(bool v)
{
    assign(m_autoYMax, v, &LineGraph::autoUpdateYMaxChanged, true);
}

QVariantList LineGraph::dataPoints() const
{
    QVariantList out;
    out.reserve(int(m_line.points->size()));
    for (const QPointF &p : *m_line.points)
        out.append(p);
    return out;
}

void LineGraph::setDataPoints(const QVariantList &points)
{
    std::vector<QPointF> native;
    native.reserve(size_t(points.size()));
    for (const QVariant &v : points)
        native.push_back(v.toPointF());
    setDataPointsNative(native);
}

void LineGraph::setDataPointsNative(const std::vector<QPointF> &points)
{
    // A fresh vector each time: a background render may still be reading the previous one.
    m_line.points = std::make_shared<const std::vector<QPointF>>(points);
    emit dataPointsChanged();
}

void LineGraph::clearDataPoints()
{
    setDataPointsNative({});
}

QList<QObject *> LineGraph::labelledPoints() const
{
    QList<QObject *> out;
    for (LabelledPoint *p : m_labelled)
        out.append(p);
    return out;
}

void LineGraph::deleteLabelledPoints()
{
    qDeleteAll(m_labelled);
    m_labelled.clear();
}

void LineGraph::setLabelledPoints(const QList<QObject *> &points)
{
    // Copy before deleting: the list may hold our own copies (as read from labelledPoints).
    QList<LabelledPoint *> copies;
    for (QObject *object : points) {
        auto *point = qobject_cast<LabelledPoint *>(object);
        if (!point)
            continue;
        LabelledPoint *copy = point->clone(this);
        QQmlEngine::setObjectOwnership(copy, QQmlEngine::CppOwnership);
        // The held copies are ours to draw: a change to one of them redraws.
        connect(copy, &LabelledPoint::pointChanged, this, &GraphAxes::invalidateCache);
        connect(copy, &LabelledPoint::textChanged, this, &GraphAxes::invalidateCache);
        connect(copy, &LabelledPoint::valueTextChanged, this, &GraphAxes::invalidateCache);
        connect(copy, &LabelledPoint::pointTypeChanged, this, &GraphAxes::invalidateCache);
        connect(copy, &LabelledPoint::labelBelowChanged, this, &GraphAxes::invalidateCache);
        copies.append(copy);
    }
    deleteLabelledPoints();
    m_labelled = copies;
    emit labelledPointsChanged();
}

void LineGraph::clearLabelledPoints()
{
    setLabelledPoints({});
}

void LineGraph::onDataPointsChanged()
{
    autoUpdateXAxisNow();
    autoUpdateYAxisNow();
    invalidateCache();
}

// Points that are not finite are gaps: they neither draw nor stretch the axes.
void LineGraph::autoUpdateXAxisNow()
{
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (const QPointF &p : *m_line.points) {
        if (std::isfinite(p.x()) && std::isfinite(p.y())) {
            lo = std::min(lo, p.x());
            hi = std::max(hi, p.x());
        }
    }
    if (!(lo <= hi))
        return;
    hi = std::max(hi, lo + kMinimumAxisExtent);
    if (m_autoXMin)
        setMinX(lo);
    if (m_autoXMax)
        setMaxX(hi);
}

void LineGraph::autoUpdateYAxisNow()
{
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (const QPointF &p : *m_line.points) {
        if (std::isfinite(p.x()) && std::isfinite(p.y())) {
            lo = std::min(lo, p.y());
            hi = std::max(hi, p.y());
        }
    }
    if (!(lo <= hi))
        return;
    hi = std::max(hi, lo + kMinimumAxisExtent);
    if (m_autoYMin)
        setMinY(lo);
    if (m_autoYMax)
        setMaxY(hi);
}

void LineGraph::geometryChanged(const QRectF &newGeometry, const QRectF &oldGeometry)
{
    if (newGeometry.size() != oldGeometry.size())
        m_flag = QImage();
    GraphAxes::geometryChanged(newGeometry, oldGeometry);
}

QImage LineGraph::flagImage() const
{
    const bool anyFlag = std::any_of(m_labelled.begin(), m_labelled.end(), [](const LabelledPoint *p) {
        return p->pointType() == LabelledPoint::PointType_Flag;
    });
    if (!anyFlag)
        return QImage();
    // Made once and kept while the colour and the size stay the same.
    const int flagHeight = LineGraphRenderer::flagHeight(QSizeF(width(), height()), m_line);
    if (m_flag.isNull() || m_flag.height() != flagHeight || m_flagColor != m_line.dotColor) {
        m_flag = LineGraphRenderer::makeFlag(m_line.dotColor, flagHeight);
        m_flagColor = m_line.dotColor;
    }
    return m_flag;
}

LineGraphRenderer::Data LineGraph::snapshot() const
{
    LineGraphRenderer::Data data = m_line;
    data.axes = axesData();
    data.labelledPoints.reserve(size_t(m_labelled.size()));
    for (const LabelledPoint *p : m_labelled)
        data.labelledPoints.push_back({p->point(), p->text(), p->valueText(), int(p->pointType()), p->labelBelow()});
    data.flag = flagImage();
    return data;
}

GraphAxes::Proxy LineGraph::createProxy() const
{
    return [data = snapshot()](QPainter &painter, const QRectF &bounds, const std::atomic_bool &cancelled) {
        LineGraphRenderer::draw(painter, bounds, data, &cancelled);
    };
}
