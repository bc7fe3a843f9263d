#pragma once

#include "GraphAxes.h"
#include "render/LineGraphRenderer.h"

#include <QColor>
#include <QList>
#include <QVariantList>

#include <memory>
#include <vector>

class LabelledPoint;

// A polyline through data points, optionally filled down to the x axis, with marked points.
// Its axis ranges can follow the data. Everything is drawn in the cached background.
class LineGraph : public GraphAxes
{
    Q_OBJECT
    Q_PROPERTY(double lineWidth READ lineWidth WRITE setLineWidth RESET resetLineWidth NOTIFY lineWidthChanged)
    Q_PROPERTY(double dotWidth READ dotWidth WRITE setDotWidth RESET resetDotWidth NOTIFY dotWidthChanged)
    Q_PROPERTY(QColor lineColor READ lineColor WRITE setLineColor NOTIFY lineColorChanged)
    Q_PROPERTY(QColor fillColor READ fillColor WRITE setFillColor NOTIFY fillColorChanged)
    Q_PROPERTY(QColor dotColor READ dotColor WRITE setDotColor NOTIFY dotColorChanged)
    Q_PROPERTY(QVariantList dataPoints READ dataPoints WRITE setDataPoints NOTIFY dataPointsChanged)
    Q_PROPERTY(QList<QObject *> labelledPoints READ labelledPoints WRITE setLabelledPoints NOTIFY labelledPointsChanged)
    Q_PROPERTY(
        int pointLabelPixelSize READ pointLabelPixelSize WRITE setPointLabelPixelSize NOTIFY pointLabelPixelSizeChanged)
    Q_PROPERTY(bool autoUpdateXMin READ autoUpdateXMin WRITE setAutoUpdateXMin NOTIFY autoUpdateXMinChanged)
    Q_PROPERTY(bool autoUpdateXMax READ autoUpdateXMax WRITE setAutoUpdateXMax NOTIFY autoUpdateXMaxChanged)
    Q_PROPERTY(bool autoUpdateYMin READ autoUpdateYMin WRITE setAutoUpdateYMin NOTIFY autoUpdateYMinChanged)
    Q_PROPERTY(bool autoUpdateYMax READ autoUpdateYMax WRITE setAutoUpdateYMax NOTIFY autoUpdateYMaxChanged)

public:
    explicit LineGraph(QQuickItem *parent = nullptr);
    ~LineGraph() override;

    double lineWidth() const { return m_line.lineWidth; }
    double dotWidth() const { return m_line.dotWidth; }
    QColor lineColor() const { return m_line.lineColor; }
    QColor fillColor() const { return m_line.fillColor; }
    QColor dotColor() const { return m_line.dotColor; }
    QVariantList dataPoints() const;
    const std::vector<QPointF> &dataPointsNative() const { return *m_line.points; }
    QList<QObject *> labelledPoints() const;
    int pointLabelPixelSize() const { return m_line.pointLabelPixelSize; }
    bool autoUpdateXMin() const { return m_autoXMin; }
    bool autoUpdateXMax() const { return m_autoXMax; }
    bool autoUpdateYMin() const { return m_autoYMin; }
    bool autoUpdateYMax() const { return m_autoYMax; }

    void setLineWidth(double v);
    void resetLineWidth() { setLineWidth(-1); }
    void setDotWidth(double v);
    void resetDotWidth() { setDotWidth(-1); }
    void setLineColor(const QColor &v);
    void setFillColor(const QColor &v);
    void setDotColor(const QColor &v);
    void setPointLabelPixelSize(int v);
    void setAutoUpdateXMin(bool v);
    void setAutoUpdateXMax(bool v);
    void setAutoUpdateYMin(bool v);
    void setAutoUpdateYMax(bool v);

    // Everything the background draws, as it stands now.
    LineGraphRenderer::Data snapshot() const;
    Proxy createProxy() const override;

public slots:
    void setDataPoints(const QVariantList &points);
    void setDataPointsNative(const std::vector<QPointF> &points);
    void clearDataPoints();
    void setLabelledPoints(const QList<QObject *> &points);
    void clearLabelledPoints();
    void autoUpdateXAxisNow();
    void autoUpdateYAxisNow();

signals:
    void lineWidthChanged(double lineWidth);
    void dotWidthChanged(double dotWidth);
    void lineColorChanged(const QColor &lineColor);
    void fillColorChanged(const QColor &fillColor);
    void dotColorChanged(const QColor &fillColor);
    void dataPointsChanged();
    void labelledPointsChanged();
    void pointLabelPixelSizeChanged(int pointLabelPixelSize);
    void autoUpdateXMinChanged(bool autoUpdateXMin);
    void autoUpdateXMaxChanged(bool autoUpdateXMax);
    void autoUpdateYMinChanged(bool autoUpdateYMin);
    void autoUpdateYMaxChanged(bool autoUpdateYMax);

protected:
    void geometryChanged(const QRectF &newGeometry, const QRectF &oldGeometry) override;

private:
    void onDataPointsChanged();
    void deleteLabelledPoints();
    QImage flagImage() const;

    LineGraphRenderer::Data m_line;  // its axes part is unused: the base class holds those
    QList<LabelledPoint *> m_labelled;
    bool m_autoXMin = false, m_autoXMax = false, m_autoYMin = false, m_autoYMax = false;
    mutable QImage m_flag;  // tinted marker, cached while colour and size stay
    mutable QColor m_flagColor;
};
