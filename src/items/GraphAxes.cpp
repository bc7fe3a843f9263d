#include "GraphAxes.h"

#include "render/ItemStyle.h"

#include <QCursor>
#include <QPainter>
#include <QQuickWindow>

#include <algorithm>
#include <cmath>

GraphAxes::GraphAxes(QQuickItem *parent)
    : QQuickPaintedItem(parent), m_task(this, [this](QImage image) {
          setBackgroundRendering(false);
          emit backgroundRenderFinished(image);
          updateBackgroundCache(image);
      })
{
    m_selection.start = m_selection.end = GraphAxesRenderer::kNoSelection;
    m_selection.color = ItemStyle::defaultSelectionColor();
    updateInputAcceptance();
    updateCursor();
}

GraphAxes::~GraphAxes() = default;

void GraphAxes::setMinX(double v)
{
    assign(m_axes.minX, v, &GraphAxes::minXChanged, true);
}
void GraphAxes::setMaxX(double v)
{
    assign(m_axes.maxX, v, &GraphAxes::maxXChanged, true);
}
void GraphAxes::setMinY(double v)
{
    assign(m_axes.minY, v, &GraphAxes::minYChanged, true);
}
void GraphAxes::setMaxY(double v)
{
    assign(m_axes.maxY, v, &GraphAxes::maxYChanged, true);
}
void GraphAxes::setTickMarksX(int v)
{
    assign(m_axes.tickMarksX, v, &GraphAxes::tickMarksXChanged, true);
}
void GraphAxes::setTickMarksY(int v)
{
    assign(m_axes.tickMarksY, v, &GraphAxes::tickMarksYChanged, true);
}
void GraphAxes::setAxisAnimTimeX(double v)
{
    assign(m_axes.axisAnimTimeX, v, &GraphAxes::axisAnimTimeXChanged, true);
}
void GraphAxes::setAxisAnimTimeY(double v)
{
    assign(m_axes.axisAnimTimeY, v, &GraphAxes::axisAnimTimeYChanged, true);
}
void GraphAxes::setAxisPenWidth(double v)
{
    assign(m_axes.axisPenWidth, v, &GraphAxes::axisPenWidthChanged, true);
}
void GraphAxes::setTickLength(double v)
{
    assign(m_axes.tickLength, v, &GraphAxes::tickLengthChanged, true);
}
void GraphAxes::resetAxisPenWidth()
{
    setAxisPenWidth(-1);
}
void GraphAxes::resetTickLength()
{
    setTickLength(-1);
}
void GraphAxes::setRangeLabelPixelSize(int v)
{
    assign(m_axes.rangeLabelPixelSize, v, &GraphAxes::rangeLabelPixelSizeChanged, true);
}
void GraphAxes::setLabelX(const QString &v)
{
    assign(m_axes.labelX, v, &GraphAxes::labelXChanged, true);
}
void GraphAxes::setLabelY(const QString &v)
{
    assign(m_axes.labelY, v, &GraphAxes::labelYChanged, true);
}
void GraphAxes::setLabelPixelSize(int v)
{
    assign(m_axes.labelPixelSize, v, &GraphAxes::labelPixelSizeChanged, true);
}
void GraphAxes::setFontName(const QString &v)
{
    assign(m_axes.fontName, v, &GraphAxes::fontNameChanged, true);
}
void GraphAxes::setMinLeftMargin(int v)
{
    assign(m_axes.minLeftMargin, v, &GraphAxes::minLeftMarginChanged, true);
}
void GraphAxes::setMinRightMargin(int v)
{
    assign(m_axes.minRightMargin, v, &GraphAxes::minRightMarginChanged, true);
}
void GraphAxes::setMinTopMargin(int v)
{
    assign(m_axes.minTopMargin, v, &GraphAxes::minTopMarginChanged, true);
}
void GraphAxes::setMinBottomMargin(int v)
{
    assign(m_axes.minBottomMargin, v, &GraphAxes::minBottomMarginChanged, true);
}
void GraphAxes::setPadding(int v)
{
    assign(m_axes.padding, v, &GraphAxes::paddingChanged, true);
}
void GraphAxes::setSigFigsX(int v)
{
    assign(m_axes.sigFigsX, v, &GraphAxes::sigFigsXChanged, true);
}
void GraphAxes::setSigFigsY(int v)
{
    assign(m_axes.sigFigsY, v, &GraphAxes::sigFigsYChanged, true);
}
void GraphAxes::setDrawLabelX(bool v)
{
    assign(m_axes.drawLabelX, v, &GraphAxes::drawLabelXChanged, true);
}
void GraphAxes::setDrawLabelY(bool v)
{
    assign(m_axes.drawLabelY, v, &GraphAxes::drawLabelYChanged, true);
}
// The axis label lists replace the range labels and so also move the margins: they are part of
// the cached frame like the ranges themselves.
void GraphAxes::setAxisLabelsX(const QStringList &v)
{
    assign(m_axes.axisLabelsX, v, &GraphAxes::axisLabelsXChanged, true);
}
void GraphAxes::setAxisLabelsY(const QStringList &v)
{
    assign(m_axes.axisLabelsY, v, &GraphAxes::axisLabelsYChanged, true);
}

void GraphAxes::setSelectionEnabled(bool v)
{
    if (assign(m_selectionEnabled, v, &GraphAxes::selectionEnabledChanged, false)) {
        updateInputAcceptance();
        updateCursor();
    }
}
void GraphAxes::setSelectionStart(double v)
{
    assign(m_selection.start, v, &GraphAxes::selectionStartChanged, false);
}
void GraphAxes::setSelectionEnd(double v)
{
    assign(m_selection.end, v, &GraphAxes::selectionEndChanged, false);
}
void GraphAxes::setSelectionColor(const QColor &v)
{
    assign(m_selection.color, v, &GraphAxes::selectionColorChanged, false);
}
void GraphAxes::setSelectionStartLabel(const QString &v)
{
    assign(m_selection.startLabel, v, &GraphAxes::selectionStartLabelChanged, false);
}
void GraphAxes::setSelectionEndLabel(const QString &v)
{
    assign(m_selection.endLabel, v, &GraphAxes::selectionEndLabelChanged, false);
}
void GraphAxes::setSelectionHeader(const QString &v)
{
    assign(m_selection.header, v, &GraphAxes::selectionHeaderChanged, false);
}

bool GraphAxes::hasSelection() const
{
    return GraphAxesRenderer::hasSelection(m_selection.start, m_selection.end);
}

QRectF GraphAxes::plotRect() const
{
    return GraphAxesRenderer::plotRect(QRectF(0, 0, width(), height()), m_axes);
}

AxisMapping GraphAxes::mapping() const
{
    return GraphAxesRenderer::mapping(QRectF(0, 0, width(), height()), m_axes);
}

GraphAxes::Margins GraphAxes::margins() const
{
    return GraphAxesRenderer::margins(QSizeF(width(), height()), m_axes);
}

double GraphAxes::mousePositionToSelection(QPointF pt, bool round) const
{
    double x = mapping().unmap(pt).x();
    if (round)
        x = std::round(x);
    const double lo = std::min(m_axes.minX, m_axes.maxX), hi = std::max(m_axes.minX, m_axes.maxX);
    if (std::isnan(x))
        return lo;
    return std::clamp(x, lo, hi);
}

void GraphAxes::invalidateCache()
{
    m_cacheDirty = true;
    update();
}

void GraphAxes::updateCursor()
{
#if QT_CONFIG(cursor)
    setCursor(m_selectionEnabled ? Qt::CrossCursor : Qt::ArrowCursor);
#endif
}

void GraphAxes::setMouseGrabbed(bool grabbed)
{
    if (m_mouseGrabbed == grabbed)
        return;
    // Set first: ungrabbing calls back into mouseUngrabEvent.
    m_mouseGrabbed = grabbed;
    if (grabbed)
        grabMouse();
    else if (window() && window()->mouseGrabberItem() == this)
        ungrabMouse();
    emit mouseGrabbedChanged(grabbed);
}

void GraphAxes::setHoverAlways(bool always)
{
    m_hoverAlways = always;
    updateInputAcceptance();
}

void GraphAxes::updateInputAcceptance()
{
    setAcceptHoverEvents(m_selectionEnabled || m_hoverAlways);
    setAcceptedMouseButtons(m_selectionEnabled ? Qt::AllButtons : Qt::NoButton);
}

void GraphAxes::hoverMoveEvent(QHoverEvent *event)
{
    event->setAccepted(m_selectionEnabled);
    if (!m_selectionEnabled || hasSelection())
        return;
    const double v = mousePositionToSelection(event->posF(), true);
    setSelectionStart(v);
    setSelectionEnd(v);
}

void GraphAxes::mousePressEvent(QMouseEvent *event)
{
    if (!m_selectionEnabled) {
        event->ignore();
        return;
    }
    event->accept();
    const double v = mousePositionToSelection(event->localPos(), true);
    m_selection.start = m_selection.end = v;
    // A right-button press marks a point without starting a drag.
    setMouseGrabbed(event->button() != Qt::RightButton);
    update();
    emit selectionStartChanged(v);
    emit selectionEndChanged(v);
    updateCursor();
}

void GraphAxes::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_selectionEnabled) {
        event->ignore();
        return;
    }
    event->accept();
    const double v = mousePositionToSelection(event->localPos(), true);
    if (m_mouseGrabbed) {
        setSelectionEnd(v);
    } else {
        setSelectionStart(v);
        setSelectionEnd(v);
    }
}

void GraphAxes::mouseReleaseEvent(QMouseEvent *event)
{
    if (!m_selectionEnabled) {
        event->ignore();
        return;
    }
    event->accept();
    if (m_mouseGrabbed) {
        setMouseGrabbed(false);
        update();
    }
    updateCursor();
}

void GraphAxes::mouseUngrabEvent()
{
    // The window took the grab away (another item grabbed, the window lost focus, ...).
    if (m_mouseGrabbed) {
        m_mouseGrabbed = false;
        emit mouseGrabbedChanged(false);
        update();
    }
}

void GraphAxes::geometryChanged(const QRectF &newGeometry, const QRectF &oldGeometry)
{
    QQuickPaintedItem::geometryChanged(newGeometry, oldGeometry);
    if (newGeometry.size() != oldGeometry.size())
        invalidateCache();
}

void GraphAxes::paintBackground(QPainter *painter)
{
    const std::atomic_bool never{false};
    createProxy()(*painter, QRectF(0, 0, width(), height()), never);
}

GraphAxes::Proxy GraphAxes::createProxy() const
{
    return [data = m_axes](QPainter &painter, const QRectF &bounds, const std::atomic_bool &) {
        GraphAxesRenderer::draw(painter, bounds, data);
    };
}

void GraphAxes::paintOverlay(QPainter *) {}

void GraphAxes::paint(QPainter *painter)
{
    const QRectF bounds(0, 0, width(), height());
    if (!m_cache.isNull()) {
        painter->setCompositionMode(QPainter::CompositionMode_Source);
        painter->drawImage(bounds, m_cache);
        painter->setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
    paintOverlay(painter);
    // paint() may run on the scene graph's render thread: the job starts on the item's thread.
    if (m_cacheDirty && !m_renderRequested.exchange(true))
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_renderRequested = false;
                startBackgroundRender();
            },
            Qt::QueuedConnection);
}

QSize GraphAxes::cachePixelSize() const
{
    const qreal dpr = window() ? window()->effectiveDevicePixelRatio() : 1.0;
    return QSize(int(std::ceil(width() * dpr)), int(std::ceil(height() * dpr)));
}

void GraphAxes::startBackgroundRender()
{
    if (!m_cacheDirty)
        return;
    const QSize pixels = cachePixelSize();
    // A job under way finishes and shows first (the dirty flag then starts the next one), unless
    // its image no longer fits the item: that one is dropped at once.
    if (m_task.running() && pixels == m_renderSize)
        return;
    m_cacheDirty = false;
    if (pixels.isEmpty()) {
        m_task.cancel();
        setBackgroundRendering(false);
        return;
    }
    m_renderSize = pixels;
    const qreal dpr = window() ? window()->effectiveDevicePixelRatio() : 1.0;
    const QRectF bounds(0, 0, width(), height());
    setBackgroundRendering(true);
    m_task.start([proxy = createProxy(), pixels, dpr, bounds](const std::atomic_bool &cancelled) {
        QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
        if (image.isNull())
            return image;
        image.setDevicePixelRatio(dpr);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        proxy(painter, bounds, cancelled);
        painter.end();
        return image;
    });
}

void GraphAxes::setBackgroundRendering(bool rendering)
{
    if (m_backgroundRendering == rendering)
        return;
    m_backgroundRendering = rendering;
    emit backgroundRenderingChanged(rendering);
}

void GraphAxes::updateBackgroundCache(const QImage &image)
{
    m_cache = image;
    update();
}
