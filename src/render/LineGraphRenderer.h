#pragma once

#include "GraphAxesRenderer.h"

#include <QColor>
#include <QImage>
#include <QPointF>
#include <QString>

#include <atomic>
#include <memory>
#include <vector>

class AxisMapping;
class QPainter;

// Draws a plot frame, a polyline (optionally filled down to the x axis) and marked points.
class LineGraphRenderer
{
public:
    // How a point is marked (a LabelledPoint's pointType).
    enum PointMark { PointMark_Solid = 0, PointMark_Circle = 1, PointMark_Flag = 2 };

    struct Point {
        QPointF point;
        QString text;
        QString valueText;
        int pointType = PointMark_Solid;
        bool labelBelow = true;
    };

    struct Data {
        GraphAxesRenderer::Data axes;
        double lineWidth = -1.0;
        double dotWidth = -1.0;
        QColor lineColor;
        QColor fillColor;
        QColor dotColor;
        int pointLabelPixelSize = -1;
        std::shared_ptr<const std::vector<QPointF>> points;
        std::vector<Point> labelledPoints;
        // The tinted flag marker at its drawn size; made on demand when null or outdated.
        QImage flag;
        Data();
    };

    static double lineWidth(const QSizeF &size, const Data &data);
    static double dotWidth(const QSizeF &size, const Data &data);
    static int pointLabelPixelSize(const QSizeF &size, const Data &data);
    static int flagHeight(const QSizeF &size, const Data &data);
    // The flag marker tinted with the colour, scaled to the height (aspect kept).
    static QImage makeFlag(const QColor &color, int height);

    static void draw(QPainter &painter, const QRectF &bounds, const Data &data,
                     const std::atomic_bool *cancelled = nullptr);

private:
    static bool drawLine(QPainter &painter, const QSizeF &size, const QRectF &plot, const AxisMapping &map,
                         double axisPen, const Data &data, const std::atomic_bool *cancelled);
    static void drawLabelledPoints(QPainter &painter, const QRectF &bounds, const QRectF &plot, const AxisMapping &map,
                                   const Data &data);
};
