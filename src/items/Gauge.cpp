#include "Gauge.h"

#include <QPainter>
#include <QQuickWindow>

#include <cmath>

Gauge::Gauge(QQuickItem *parent) : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
}

Gauge::~Gauge() = default;

template <typename T, typename Signal> void Gauge::assign(T &field, const T &value, Signal signal, bool faceChanges)
{
    if (field == value)
        return;
    field = value;
    if (faceChanges)
        m_faceDirty = true;
    emit(this->*signal)(value);
    update();
}

void Gauge::setMinValue(double v)
{
    assign(m_data.minValue, v, &Gauge::minValueChanged, false);
}
void Gauge::setMaxValue(double v)
{
    assign(m_data.maxValue, v, &Gauge::maxValueChanged, false);
}
void Gauge::setValue(double v)
{
    assign(m_data.value, v, &Gauge::valueChanged, false);
}
void Gauge::setTickMarks(int v)
{
    assign(m_data.tickMarks, v, &Gauge::tickMarksChanged, true);
}
void Gauge::setNutColor(const QColor &v)
{
    assign(m_data.nutColor, v, &Gauge::nutColorChanged, true);
}
void Gauge::setBorderColor(const QColor &v)
{
    assign(m_data.borderColor, v, &Gauge::borderColorChanged, true);
}
void Gauge::setDashColor(const QColor &v)
{
    assign(m_data.dashColor, v, &Gauge::dashColorChanged, true);
}
void Gauge::setBorderWidth(double v)
{
    assign(m_data.borderWidth, v, &Gauge::borderWidthChanged, true);
}
void Gauge::setHandWidth(double v)
{
    assign(m_data.handWidth, v, &Gauge::handWidthChanged, false);
}
void Gauge::setTickWidth(double v)
{
    assign(m_data.tickWidth, v, &Gauge::tickWidthChanged, true);
}

void Gauge::geometryChanged(const QRectF &newGeometry, const QRectF &oldGeometry)
{
    QQuickPaintedItem::geometryChanged(newGeometry, oldGeometry);
    if (newGeometry.size() != oldGeometry.size()) {
        m_faceDirty = true;
        update();
    }
}

void Gauge::paint(QPainter *painter)
{
    const QRectF rect(0, 0, width(), height());
    const qreal dpr = window() ? window()->effectiveDevicePixelRatio() : 1.0;
    const QSize pixels(int(std::ceil(width() * dpr)), int(std::ceil(height() * dpr)));
    if (pixels.isEmpty())
        return;
    if (m_faceDirty || m_face.size() != pixels) {
        m_face = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        m_face.setDevicePixelRatio(dpr);
        m_face.fill(Qt::transparent);
        QPainter facePainter(&m_face);
        GaugeRenderer::drawFace(facePainter, rect, m_data);
        m_faceDirty = false;
    }
    painter->drawImage(rect, m_face);
    GaugeRenderer::drawNeedle(*painter, rect, m_data);
}
