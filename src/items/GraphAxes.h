#pragma once

#include "render/AxisMapping.h"
#include "render/BackgroundTask.h"
#include "render/GraphAxesRenderer.h"

#include <QImage>
#include <QQuickPaintedItem>

#include <atomic>
#include <functional>

// A 2-D plot frame with mouse selection on the x axis; the base of LineGraph and BarGraph.
// Everything static is rendered on the global thread pool into a cached image from a snapshot
// of the properties (createProxy()); the item's own paint blits that image and draws only what
// follows the mouse.
class GraphAxes : public QQuickPaintedItem
{
    Q_OBJECT
    Q_PROPERTY(double minX READ minX WRITE setMinX NOTIFY minXChanged)
    Q_PROPERTY(double maxX READ maxX WRITE setMaxX NOTIFY maxXChanged)
    Q_PROPERTY(double minY READ minY WRITE setMinY NOTIFY minYChanged)
    Q_PROPERTY(double maxY READ maxY WRITE setMaxY NOTIFY maxYChanged)
    Q_PROPERTY(int tickMarksX READ tickMarksX WRITE setTickMarksX NOTIFY tickMarksXChanged)
    Q_PROPERTY(int tickMarksY READ tickMarksY WRITE setTickMarksY NOTIFY tickMarksYChanged)
    Q_PROPERTY(double axisAnimTimeX READ axisAnimTimeX WRITE setAxisAnimTimeX NOTIFY axisAnimTimeXChanged)
    Q_PROPERTY(double axisAnimTimeY READ axisAnimTimeY WRITE setAxisAnimTimeY NOTIFY axisAnimTimeYChanged)
    Q_PROPERTY(
        double axisPenWidth READ axisPenWidth WRITE setAxisPenWidth RESET resetAxisPenWidth NOTIFY axisPenWidthChanged)
    Q_PROPERTY(double tickLength READ tickLength WRITE setTickLength RESET resetTickLength NOTIFY tickLengthChanged)
    Q_PROPERTY(
        int rangeLabelPixelSize READ rangeLabelPixelSize WRITE setRangeLabelPixelSize NOTIFY rangeLabelPixelSizeChanged)
    Q_PROPERTY(QString labelX READ labelX WRITE setLabelX NOTIFY labelXChanged)
    Q_PROPERTY(QString labelY READ labelY WRITE setLabelY NOTIFY labelYChanged)
    Q_PROPERTY(int labelPixelSize READ labelPixelSize WRITE setLabelPixelSize NOTIFY labelPixelSizeChanged)
    Q_PROPERTY(QString fontName READ fontName WRITE setFontName NOTIFY fontNameChanged)
    Q_PROPERTY(int minLeftMargin READ minLeftMargin WRITE setMinLeftMargin NOTIFY minLeftMarginChanged)
    Q_PROPERTY(int minRightMargin READ minRightMargin WRITE setMinRightMargin NOTIFY minRightMarginChanged)
    Q_PROPERTY(int minTopMargin READ minTopMargin WRITE setMinTopMargin NOTIFY minTopMarginChanged)
    Q_PROPERTY(int minBottomMargin READ minBottomMargin WRITE setMinBottomMargin NOTIFY minBottomMarginChanged)
    Q_PROPERTY(int padding READ padding WRITE setPadding NOTIFY paddingChanged)
    Q_PROPERTY(int sigFigsX READ sigFigsX WRITE setSigFigsX NOTIFY sigFigsXChanged)
    Q_PROPERTY(int sigFigsY READ sigFigsY WRITE setSigFigsY NOTIFY sigFigsYChanged)
    Q_PROPERTY(bool drawLabelX READ drawLabelX WRITE setDrawLabelX NOTIFY drawLabelXChanged)
    Q_PROPERTY(bool drawLabelY READ drawLabelY WRITE setDrawLabelY NOTIFY drawLabelYChanged)
    Q_PROPERTY(bool selectionEnabled READ selectionEnabled WRITE setSelectionEnabled NOTIFY selectionEnabledChanged)
    Q_PROPERTY(double selectionStart READ selectionStart WRITE setSelectionStart NOTIFY selectionStartChanged)
    Q_PROPERTY(double selectionEnd READ selectionEnd WRITE setSelectionEnd NOTIFY selectionEndChanged)
    Q_PROPERTY(QColor selectionColor READ selectionColor WRITE setSelectionColor NOTIFY selectionColorChanged)
    Q_PROPERTY(QString selectionStartLabel READ selectionStartLabel WRITE setSelectionStartLabel NOTIFY
                   selectionStartLabelChanged)
    Q_PROPERTY(
        QString selectionEndLabel READ selectionEndLabel WRITE setSelectionEndLabel NOTIFY selectionEndLabelChanged)
    Q_PROPERTY(QString selectionHeader READ selectionHeader WRITE setSelectionHeader NOTIFY selectionHeaderChanged)
    Q_PROPERTY(QStringList axisLabelsX READ axisLabelsX WRITE setAxisLabelsX NOTIFY axisLabelsXChanged)
    Q_PROPERTY(QStringList axisLabelsY READ axisLabelsY WRITE setAxisLabelsY NOTIFY axisLabelsYChanged)
    Q_PROPERTY(bool mouseGrabbed READ mouseGrabbed NOTIFY mouseGrabbedChanged)
    Q_PROPERTY(bool backgroundRendering READ backgroundRendering NOTIFY backgroundRenderingChanged)

public:
    using Margins = GraphAxesRenderer::Margins;
    // The background job: draws the cached content into a painter of the given bounds. It owns
    // a copy of every property it draws and must poll the flag in long loops.
    using Proxy = std::function<void(QPainter &, const QRectF &, const std::atomic_bool &cancelled)>;

    explicit GraphAxes(QQuickItem *parent = nullptr);
    ~GraphAxes() override;

    double minX() const { return m_axes.minX; }
    double maxX() const { return m_axes.maxX; }
    double minY() const { return m_axes.minY; }
    double maxY() const { return m_axes.maxY; }
    int tickMarksX() const { return m_axes.tickMarksX; }
    int tickMarksY() const { return m_axes.tickMarksY; }
    double axisAnimTimeX() const { return m_axes.axisAnimTimeX; }
    double axisAnimTimeY() const { return m_axes.axisAnimTimeY; }
    double axisPenWidth() const { return m_axes.axisPenWidth; }
    double tickLength() const { return m_axes.tickLength; }
    int rangeLabelPixelSize() const { return m_axes.rangeLabelPixelSize; }
    QString labelX() const { return m_axes.labelX; }
    QString labelY() const { return m_axes.labelY; }
    int labelPixelSize() const { return m_axes.labelPixelSize; }
    QString fontName() const { return m_axes.fontName; }
    int minLeftMargin() const { return m_axes.minLeftMargin; }
    int minRightMargin() const { return m_axes.minRightMargin; }
    int minTopMargin() const { return m_axes.minTopMargin; }
    int minBottomMargin() const { return m_axes.minBottomMargin; }
    int padding() const { return m_axes.padding; }
    int sigFigsX() const { return m_axes.sigFigsX; }
    int sigFigsY() const { return m_axes.sigFigsY; }
    bool drawLabelX() const { return m_axes.drawLabelX; }
    bool drawLabelY() const { return m_axes.drawLabelY; }
    bool selectionEnabled() const { return m_selectionEnabled; }
    double selectionStart() const { return m_selection.start; }
    double selectionEnd() const { return m_selection.end; }
    QColor selectionColor() const { return m_selection.color; }
    QString selectionStartLabel() const { return m_selection.startLabel; }
    QString selectionEndLabel() const { return m_selection.endLabel; }
    QString selectionHeader() const { return m_selection.header; }
    QStringList axisLabelsX() const { return m_axes.axisLabelsX; }
    QStringList axisLabelsY() const { return m_axes.axisLabelsY; }
    bool mouseGrabbed() const { return m_mouseGrabbed; }
    bool backgroundRendering() const { return m_backgroundRendering; }

    void setTickMarksX(int v);
    void setTickMarksY(int v);
    void setAxisAnimTimeX(double v);
    void setAxisAnimTimeY(double v);
    void setAxisPenWidth(double v);
    void setTickLength(double v);
    void setRangeLabelPixelSize(int v);
    void setLabelX(const QString &v);
    void setLabelY(const QString &v);
    void setLabelPixelSize(int v);
    void setFontName(const QString &v);
    void setMinLeftMargin(int v);
    void setMinRightMargin(int v);
    void setMinTopMargin(int v);
    void setMinBottomMargin(int v);
    void setPadding(int v);
    void setSigFigsX(int v);
    void setSigFigsY(int v);
    void setDrawLabelX(bool v);
    void setDrawLabelY(bool v);
    void setSelectionEnabled(bool v);
    void setSelectionStart(double v);
    void setSelectionEnd(double v);
    void setSelectionColor(const QColor &v);
    void setSelectionStartLabel(const QString &v);
    void setSelectionEndLabel(const QString &v);
    void setSelectionHeader(const QString &v);
    void setAxisLabelsX(const QStringList &v);
    void setAxisLabelsY(const QStringList &v);

    const GraphAxesRenderer::Data &axesData() const { return m_axes; }
    GraphAxesRenderer::Selection selection() const { return m_selection; }
    bool hasSelection() const;
    Q_INVOKABLE QRectF plotRect() const;
    AxisMapping mapping() const;
    // The image the GUI thread paints; it lags the properties while a render is under way.
    QImage backgroundCache() const { return m_cache; }
    bool cacheDirty() const { return m_cacheDirty; }

    Q_INVOKABLE double mousePositionToSelection(QPointF pt, bool round) const;

    void paint(QPainter *painter) override;
    // Draws everything the cache holds, here and now (the background job does the same).
    virtual void paintBackground(QPainter *painter);
    virtual Margins margins() const;
    virtual Proxy createProxy() const;

public slots:
    void setMinX(double v);
    void setMaxX(double v);
    void setMinY(double v);
    void setMaxY(double v);
    void resetAxisPenWidth();
    void resetTickLength();
    void invalidateCache();
    void updateCursor();
    void setMouseGrabbed(bool grabbed);
    void updateBackgroundCache(const QImage &image);

signals:
    void minXChanged(double minX);
    void maxXChanged(double maxX);
    void minYChanged(double minY);
    void maxYChanged(double maxY);
    void tickMarksXChanged(int tickMarksX);
    void tickMarksYChanged(int tickMarksY);
    void axisAnimTimeXChanged(double axisAnimTimeX);
    void axisAnimTimeYChanged(double axisAnimTimeY);
    void axisPenWidthChanged(double axisPenWidth);
    void tickLengthChanged(double tickLength);
    void rangeLabelPixelSizeChanged(int rangeLabelPixelSize);
    void labelXChanged(const QString &labelX);
    void labelYChanged(const QString &labelY);
    void labelPixelSizeChanged(int labelPixelSize);
    void fontNameChanged(const QString &fontName);
    void minLeftMarginChanged(int minLeftMargin);
    void minRightMarginChanged(int minRightMargin);
    void minTopMarginChanged(int minTopMargin);
    void minBottomMarginChanged(int minBottomMargin);
    void paddingChanged(int padding);
    void sigFigsXChanged(int sigFigsX);
    void sigFigsYChanged(int sigFigsY);
    void drawLabelXChanged(bool drawLabelX);
    void drawLabelYChanged(bool drawLabelY);
    void selectionEnabledChanged(bool selectionEnabled);
    void selectionStartChanged(double selectionStart);
    void selectionEndChanged(double selectionEnd);
    void selectionColorChanged(const QColor &selectionColor);
    void selectionStartLabelChanged(const QString &selectionStartLabel);
    void selectionEndLabelChanged(const QString &selectionEndLabel);
    void selectionHeaderChanged(const QString &selectionHeader);
    void axisLabelsXChanged(const QStringList &axisLabelsX);
    void axisLabelsYChanged(const QStringList &axisLabelsY);
    void mouseGrabbedChanged(bool mouseGrabbed);
    void backgroundRenderingChanged(bool backgroundRendering);
    void backgroundRenderFinished(const QImage &image);

protected:
    // Drawn live over the cache on every paint (the base draws nothing).
    virtual void paintOverlay(QPainter *painter);
    // Hover events also when selection is off (for items that track the pointer anyway).
    void setHoverAlways(bool always);

    void hoverMoveEvent(QHoverEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseUngrabEvent() override;
    void geometryChanged(const QRectF &newGeometry, const QRectF &oldGeometry) override;

    // Stores a value and emits its change signal when it differs; cache-relevant values also
    // invalidate the cache, the others only repaint.
    template <typename T, typename Owner, typename Arg>
    bool assign(T &field, const T &value, void (Owner::*signal)(Arg), bool cached)
    {
        if (field == value)
            return false;
        field = value;
        emit(static_cast<Owner *>(this)->*signal)(value);
        if (cached)
            invalidateCache();
        else
            update();
        return true;
    }

private:
    void startBackgroundRender();
    void setBackgroundRendering(bool rendering);
    void updateInputAcceptance();
    QSize cachePixelSize() const;

    GraphAxesRenderer::Data m_axes;
    GraphAxesRenderer::Selection m_selection;
    bool m_selectionEnabled = false;
    bool m_mouseGrabbed = false;
    bool m_hoverAlways = false;
    bool m_backgroundRendering = false;

    QImage m_cache;
    bool m_cacheDirty = true;
    std::atomic_bool m_renderRequested{false};
    QSize m_renderSize;
    BackgroundTask<QImage> m_task;
};
