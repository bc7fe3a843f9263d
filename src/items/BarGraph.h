#pragma once

#include "GraphAxes.h"
#include "pulselog/PulseLog.h"
#include "render/BarGraphRenderer.h"

#include <cstdint>

// One bar per value of a shared series (the pulse log's time bins), drawn in the cached
// background; the bar under the mouse is highlighted live with a header and footer text.
class BarGraph : public GraphAxes
{
    Q_OBJECT
    Q_PROPERTY(QColor barColor READ barColor WRITE setBarColor NOTIFY barColorChanged)
    Q_PROPERTY(DataSeriesVectorPtr dataPoints READ dataPoints WRITE setDataPoints NOTIFY dataPointsChanged)
    Q_PROPERTY(qint64 barHoveredIndex READ barHoveredIndex WRITE setBarHoveredIndex NOTIFY barHoveredIndexChanged)
    Q_PROPERTY(QString barHoveredHeader READ barHoveredHeader WRITE setBarHoveredHeader NOTIFY barHoveredHeaderChanged)
    Q_PROPERTY(QString barHoveredFooter READ barHoveredFooter WRITE setBarHoveredFooter NOTIFY barHoveredFooterChanged)

public:
    explicit BarGraph(QQuickItem *parent = nullptr);
    ~BarGraph() override;

    QColor barColor() const { return m_bars.barColor; }
    DataSeriesVectorPtr dataPoints() const { return m_bars.values; }
    qint64 barHoveredIndex() const { return m_hover.index; }
    QString barHoveredHeader() const { return m_hover.header; }
    QString barHoveredFooter() const { return m_hover.footer; }

    void setBarColor(const QColor &v);
    void setBarHoveredHeader(const QString &v);
    void setBarHoveredFooter(const QString &v);

    Q_INVOKABLE size_t dataPointsLength() const;

    BarGraphRenderer::Data snapshot() const;
    Proxy createProxy() const override;

public slots:
    void setDataPoints(DataSeriesVectorPtr points);
    void clearDataPoints();
    void setBarHoveredIndex(qint64 index);

signals:
    void barColorChanged(const QColor &barColor);
    void dataPointsChanged();
    void barHoveredIndexChanged(qint64 barHoveredIndex);
    void barHoveredHeaderChanged(const QString &barHoveredHeader);
    void barHoveredFooterChanged(const QString &barHoveredFooter);

protected:
    void paintOverlay(QPainter *painter) override;
    void hoverMoveEvent(QHoverEvent *event) override;
    void hoverLeaveEvent(QHoverEvent *event) override;

private:
    BarGraphRenderer::Data m_bars;  // its axes part is unused: the base class holds those
    BarGraphRenderer::Hover m_hover;
};
