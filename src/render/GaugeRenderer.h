#pragma once

#include <QColor>
#include <QPointF>
#include <QRectF>

class QPainter;

// Draws the half-circle dial: a face (rim, ticks, shaded lower band, nut) that only changes
// with size and colours, and the needle with its cap on top.
class GaugeRenderer
{
public:
    struct Data {
        double minValue = 0.0;
        double maxValue = 1.0;
        double value = 0.0;
        int tickMarks = 17;
        QColor nutColor;
        QColor borderColor;
        QColor dashColor;
        double borderWidth = 2.0;
        double handWidth = 4.0;
        double tickWidth = 2.0;
        Data();
    };

    static void draw(QPainter &painter, const QRectF &rect, const Data &data);
    static void drawFace(QPainter &painter, const QRectF &rect, const Data &data);
    static void drawNeedle(QPainter &painter, const QRectF &rect, const Data &data);

    // Dial fraction 0..1 of the needle; out-of-range values stop at the ends.
    static double needleFraction(const Data &data);
    // The first corner of the lower band's shadow triangle.
    static QPointF shadowCorner(const QRectF &rect);
    // The square the dial is drawn in (the item's width, shrunk by half the border).
    static QRectF faceRect(const QRectF &rect, const Data &data);
    static QPointF rimPoint(const QRectF &face, double fraction);
};
