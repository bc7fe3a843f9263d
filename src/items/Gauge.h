#pragma once

#include "render/GaugeRenderer.h"

#include <QImage>
#include <QQuickPaintedItem>

// Half-circle dial with tick marks and a needle. The face is cached as an image and redrawn
// only when its size or look changes; a value change repaints just the needle over it.
class Gauge : public QQuickPaintedItem
{
    Q_OBJECT
    Q_PROPERTY(double minValue READ minValue WRITE setMinValue NOTIFY minValueChanged)
    Q_PROPERTY(double maxValue READ maxValue WRITE setMaxValue NOTIFY maxValueChanged)
    Q_PROPERTY(double value READ value WRITE setValue NOTIFY valueChanged)
    Q_PROPERTY(int tickMarks READ tickMarks WRITE setTickMarks NOTIFY tickMarksChanged)
    Q_PROPERTY(QColor nutColor READ nutColor WRITE setNutColor NOTIFY nutColorChanged)
    Q_PROPERTY(QColor borderColor READ borderColor WRITE setBorderColor NOTIFY borderColorChanged)
    Q_PROPERTY(QColor dashColor READ dashColor WRITE setDashColor NOTIFY dashColorChanged)
    Q_PROPERTY(double borderWidth READ borderWidth WRITE setBorderWidth NOTIFY borderWidthChanged)
    Q_PROPERTY(double handWidth READ handWidth WRITE setHandWidth NOTIFY handWidthChanged)
    Q_PROPERTY(double tickWidth READ tickWidth WRITE setTickWidth NOTIFY tickWidthChanged)

public:
    explicit Gauge(QQuickItem *parent = nullptr);
    ~Gauge() override;

    double minValue() const { return m_data.minValue; }
    double maxValue() const { return m_data.maxValue; }
    double value() const { return m_data.value; }
    int tickMarks() const { return m_data.tickMarks; }
    QColor nutColor() const { return m_data.nutColor; }
    QColor borderColor() const { return m_data.borderColor; }
    QColor dashColor() const { return m_data.dashColor; }
    double borderWidth() const { return m_data.borderWidth; }
    double handWidth() const { return m_data.handWidth; }
    double tickWidth() const { return m_data.tickWidth; }

    // Everything the renderer draws, as it stands now.
    const GaugeRenderer::Data &snapshot() const { return m_data; }

    void paint(QPainter *painter) override;

public slots:
    void setMinValue(double minValue);
    void setMaxValue(double maxValue);
    void setValue(double value);
    void setTickMarks(int tickMarks);
    void setNutColor(const QColor &nutColor);
    void setBorderColor(const QColor &borderColor);
    void setDashColor(const QColor &dashColor);
    void setBorderWidth(double borderWidth);
    void setHandWidth(double handWidth);
    void setTickWidth(double tickWidth);

signals:
    void minValueChanged(double minValue);
    void maxValueChanged(double maxValue);
    void valueChanged(double value);
    void tickMarksChanged(int tickMarks);
    void nutColorChanged(const QColor &nutColor);
    void borderColorChanged(const QColor &borderColor);
    void dashColorChanged(const QColor &dashColor);
    void borderWidthChanged(double borderWidth);
    void handWidthChanged(double handWidth);
    void tickWidthChanged(double tickWidth);

protected:
    void geometryChanged(const QRectF &newGeometry, const QRectF &oldGeometry) override;

private:
    template <typename T, typename Signal> void assign(T &field, const T &value, Signal signal, bool faceChanges);

    GaugeRenderer::Data m_data;
    QImage m_face;
    bool m_faceDirty = true;
};
