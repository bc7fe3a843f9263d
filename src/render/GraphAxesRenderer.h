#pragma once

#include "AxisMapping.h"
#include "ItemStyle.h"

#include <QColor>
#include <QFont>
#include <QRectF>
#include <QString>
#include <QStringList>

class QPainter;

// Draws a 2-D plot frame (axes, ticks, range labels, titles) and the live selection overlay.
// Plain data in, pixels out: the item, its background job and the tests all come through here.
class GraphAxesRenderer
{
public:
    // Every property of the frame that the cached background depends on.
    struct Data {
        double minX = 0.0, maxX = 1.0;
        double minY = 0.0, maxY = 1.0;
        int tickMarksX = 0, tickMarksY = 0;
        double axisAnimTimeX = 1.0, axisAnimTimeY = 1.0;
        double axisPenWidth = -1.0;
        double tickLength = -1.0;
        int rangeLabelPixelSize = -1;
        QString labelX, labelY;
        int labelPixelSize = -1;
        QString fontName = ItemStyle::defaultFontFamily();
        int minLeftMargin = 0, minRightMargin = 0, minTopMargin = 0, minBottomMargin = 0;
        int padding = 0;
        int sigFigsX = 1, sigFigsY = 1;
        bool drawLabelX = true, drawLabelY = true;
        QStringList axisLabelsX, axisLabelsY;
        // Axes, ticks and texts: light on the program's dark screens, dark on paper.
        QColor strokeColor = ItemStyle::strokeColor();
    };

    struct Margins {
        int left = 0, right = 0, top = 0, bottom = 0;
    };

    struct Selection {
        double start = 0.0, end = 0.0;
        QColor color;
        QString startLabel, endLabel, header;
    };

    // Sizes derived from the item size where the property asks for the default.
    static double penWidth(const QSizeF &size, const Data &data);
    static double tickLength(const QSizeF &size, const Data &data);
    static int rangeLabelPixelSize(const QSizeF &size, const Data &data);
    static int labelPixelSize(const QSizeF &size, const Data &data);
    static QFont rangeLabelFont(const QSizeF &size, const Data &data);
    static QFont labelFont(const QSizeF &size, const Data &data);

    // The four range-label texts: minX, maxX, minY, maxY.
    static QStringList rangeTexts(const Data &data);
    static Margins margins(const QSizeF &size, const Data &data);
    static QRectF plotRect(const QRectF &bounds, const Data &data);
    static AxisMapping mapping(const QRectF &bounds, const Data &data);

    // Everything of the frame, as cached in the background image.
    static void draw(QPainter &painter, const QRectF &bounds, const Data &data);

    // A selection exists once its end is set and its ends differ (relative to their size).
    static bool hasSelection(double start, double end);
    static void drawSelection(QPainter &painter, const QRectF &bounds, const Data &data, const Selection &selection);

    // Texts are never drawn with more decimals than this, whatever is asked.
    static constexpr int kMaxDecimals = 17;
    // Lowest value of a selection end, meaning "not set".
    static constexpr double kNoSelection = -1.7976931348623157e308;
};
