#pragma once

#include "GraphAxesRenderer.h"
#include "pulselog/PulseLog.h"

#include <QColor>
#include <QString>

#include <atomic>
#include <cstdint>
#include <utility>

class QPainter;

// Draws a plot frame with one bar per value (the cached part) and the live hover overlay.
class BarGraphRenderer
{
public:
    struct Data {
        GraphAxesRenderer::Data axes;
        QColor barColor;
        DataSeriesVectorPtr values;
        Data();
    };

    struct Hover {
        int64_t index = -1;
        QString header;
        QString footer;
    };

    // Where the bars stand: the plot rectangle moved right past the y axis line and reaching up
    // by the same width.
    static QRectF barArea(const QRectF &bounds, const GraphAxesRenderer::Data &axes);
    // Left and right pixel edges of bar i of n (rounded, in bounds coordinates); the bar is drawn
    // at least one pixel wide.
    static std::pair<double, double> column(const QRectF &area, size_t n, int64_t i);

    static void draw(QPainter &painter, const QRectF &bounds, const Data &data,
                     const std::atomic_bool *cancelled = nullptr);
    static void drawHover(QPainter &painter, const QRectF &bounds, const GraphAxesRenderer::Data &axes, size_t count,
                          const Hover &hover);
};
