#pragma once

#include <QColor>
#include <QFont>
#include <QRectF>
#include <QSizeF>
#include <QString>

class QPainter;

// The look shared by the painted items: colours, font rules and the dark text boxes that
// graphs and overlays use. Every item takes its sizes and colours from here.
namespace ItemStyle {

// Sizes that follow the item scale with D = min(width, 1.25 x height).
double referenceLength(const QSizeF &size);

// Strokes of axes, ticks and range labels.
QColor strokeColor();

// Text boxes of overlays: black at alpha 130, no outline, white text centred both ways.
QColor boxFillColor();
QColor boxTextColor();
constexpr double kBoxRadius = 0.333;    // x line height
constexpr double kBoxPadding = 0.85;    // x line height, added to the text width
constexpr double kBoxLineHeight = 1.1;  // x line height, single-line boxes
constexpr double kBoxExtraLines = 0.2;  // line spacings added below multi-line boxes
constexpr int kBoldWeight = 75;

// Draws one rounded box with text centred in it.
void drawTextBox(QPainter &painter, const QRectF &box, double radius, const QString &text);

// Family of every text unless an item is told otherwise.
QString defaultFontFamily();

// A font of the family at a pixel size (at least 1) and weight.
QFont font(const QString &family, int pixelSize, int weight = QFont::Normal);

// Graph colours.
QColor defaultSelectionColor();
QColor hoverColumnColor();
QColor defaultBarColor();
QColor defaultLineColor();
QColor defaultDotColor();
QColor ringColor();
QColor leaderColor();

// Gauge colours.
QColor defaultNutColor();
QColor defaultDashColor();
QColor gaugeShadowColor();

// 3-D view colours.
QColor axisXColor();
QColor axisYColor();
QColor axisZColor();
QColor circleColor();
QColor hullColor();

// The largest coordinate handed to a painter; far-away points are pulled in to it so that
// fixed-point rasterising never overflows.
constexpr double kCoordinateLimit = 1.0e6;
double clampCoordinate(double v);

}  // namespace ItemStyle
