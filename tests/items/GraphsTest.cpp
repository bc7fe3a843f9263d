#include "ImageProbe.h"
#include "items/BarGraph.h"
#include "items/LabelledPoint.h"
#include "items/LineGraph.h"
#include "ItemWindow.h"
#include "render/BarGraphRenderer.h"
#include "render/LineGraphRenderer.h"

#include <QPainter>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <memory>

using namespace ImageProbe;

namespace {
// A frame whose plot is known up front: x 60..380, y 15..260 in a 400 x 300 image.
GraphAxesRenderer::Data fixedFrame()
{
    GraphAxesRenderer::Data d;
    d.minLeftMargin = 60;
    d.minRightMargin = 20;
    d.minTopMargin = 15;
    d.minBottomMargin = 40;
    d.axisPenWidth = 1;
    d.drawLabelX = d.drawLabelY = false;
    return d;
}
const QRectF kBounds(0, 0, 400, 300);
constexpr int kLeft = 60, kBottom = 260;
// Bars stand one pen width right of the y axis and reach one pen width higher.
constexpr int kBarLeft = kLeft + 1, kBarHeight = 246;

DataSeriesVectorPtr series(std::vector<double> values)
{
    return std::make_shared<std::vector<double>>(std::move(values));
}

QImage renderBars(const BarGraphRenderer::Data &d)
{
    QImage image = canvas(400, 300);
    QPainter painter(&image);
    BarGraphRenderer::draw(painter, kBounds, d);
    return image;
}

QImage renderLine(const LineGraphRenderer::Data &d)
{
    QImage image = canvas(400, 300);
    QPainter painter(&image);
    LineGraphRenderer::draw(painter, kBounds, d);
    return image;
}

bool isBar(const QColor &c)
{
    return c.alpha() > 200 && c.red() < 60 && c.green() > 180 && c.blue() > 150;
}
bool isGreen(const QColor &c)
{
    return c.alpha() > 100 && c.green() > 150 && c.red() < 80 && c.blue() < 80;
}
bool isWhite(const QColor &c)
{
    return c.alpha() > 200 && c.red() > 220 && c.green() > 220 && c.blue() > 220;
}

// Height of the bar drawn in a pixel column (rows of bar colour above the bottom).
int barHeightAt(const QImage &image, int x)
{
    int h = 0;
    for (int y = kBottom - 1; y >= 0 && isBar(at(image, x, y)); --y)
        ++h;
    return h;
}
}  // namespace

class GraphsTest : public QObject
{
    Q_OBJECT

private slots:
    void barsRiseInProportionFromTheBottom()
    {
        BarGraphRenderer::Data d;
        d.axes = fixedFrame();
        d.axes.maxY = 10;
        d.values = series({0, 2.5, 5, 10, -3, 1e300, qQNaN(), 7.5});
        QCOMPARE(BarGraphRenderer::barArea(kBounds, d.axes), QRectF(kBarLeft, 14, 320, kBarHeight));
        const QImage image = renderBars(d);
        // Eight bars of 40 px: values outside the range stop at the plot's edges.
        const int expected[] = {0, kBarHeight / 4, kBarHeight / 2, kBarHeight, 0, kBarHeight, 0, kBarHeight * 3 / 4};
        for (int i = 0; i < 8; ++i) {
            const int centre = kBarLeft + 40 * i + 20;
            QVERIFY2(std::abs(barHeightAt(image, centre) - expected[i]) <= 1,
                     qPrintable(QString("bar %1: %2 px").arg(i).arg(barHeightAt(image, centre))));
        }
        // Edges on whole pixels: bar 1 covers exactly 40 columns.
        const auto runs = runsInRow(image, kBottom - 2, isBar);
        QVERIFY(!runs.empty());
        QCOMPARE(runs[0], std::make_pair(kBarLeft + 40, kBarLeft + 40 * 4 - 1));
    }

    void narrowBarsKeepOnePixel()
    {
        BarGraphRenderer::Data d;
        d.axes = fixedFrame();
        d.axes.maxY = 1;
        std::vector<double> values(100000, 0.0);
        values[50000] = 1;
        values[99999] = 0.5;
        d.values = series(values);
        const QImage image = renderBars(d);
        const auto runs = runsInRow(image, kBottom - 2, isBar);
        QCOMPARE(int(runs.size()), 2);
        QCOMPARE(runs[0].first, runs[0].second);
        QCOMPARE(runs[0].first, kBarLeft + 160);
        QCOMPARE(barHeightAt(image, runs[0].first), kBarHeight);
        QCOMPARE(runs[1].first, kBarLeft + 320 - 1);
    }

    void emptyRangeOrSeriesDrawsNoBars()
    {
        BarGraphRenderer::Data d;
        d.axes = fixedFrame();
        d.axes.minY = d.axes.maxY = 4;
        d.values = series({1, 4, 9});
        QVERIFY(pixels(renderBars(d), isBar).empty());
        d.axes.maxY = qQNaN();
        QVERIFY(pixels(renderBars(d), isBar).empty());
        d.axes.maxY = 10;
        d.values = series({});
        QVERIFY(pixels(renderBars(d), isBar).empty());
        d.values = nullptr;
        QVERIFY(pixels(renderBars(d), isBar).empty());
    }

    void hoverHighlightsOneColumnWithinTheData()
    {
        GraphAxesRenderer::Data axes = fixedFrame();
        QImage image = canvas(400, 300);
        {
            QPainter painter(&image);
            BarGraphRenderer::drawHover(painter, kBounds, axes, 8, {-1, "head", "foot"});
            BarGraphRenderer::drawHover(painter, kBounds, axes, 8, {8, "head", "foot"});
        }
        QVERIFY(pixels(image, [](const QColor &c) { return c.alpha() > 0; }).empty());
        {
            QPainter painter(&image);
            BarGraphRenderer::drawHover(painter, kBounds, axes, 8, {2, QString(), QString()});
        }
        const auto runs = runsInRow(image, 150, [](const QColor &c) { return c.alpha() > 100; });
        QCOMPARE(int(runs.size()), 1);
        QCOMPARE(runs[0], std::make_pair(kBarLeft + 80, kBarLeft + 119));
        QVERIFY(std::abs(at(image, kBarLeft + 100, 150).alpha() - 128) <= 2);
    }

    void hoverTracksTheBarUnderThePointer()
    {
        auto *graph = new BarGraph;
        graph->setMaxX(8);
        graph->setDataPoints(series({1, 2, 3, 4, 5, 6, 7, 8}));
        ItemWindow window(graph);
        QVERIFY(window.exposed());
        const QRectF plot = graph->plotRect();
        const int y = int(plot.center().y());
        auto xOf = [&](double bin) { return int(plot.left() + plot.width() * bin / 8); };

        QSignalSpy hovered(graph, &BarGraph::barHoveredIndexChanged);
        QTest::mouseMove(window.window(), QPoint(xOf(2.5), y));
        QTRY_COMPARE(graph->barHoveredIndex(), qint64(2));
        QTest::mouseMove(window.window(), QPoint(xOf(7.6), y));
        QCOMPARE(graph->barHoveredIndex(), qint64(7));
        QTest::mouseMove(window.window(), QPoint(xOf(7.8), y));
        QCOMPARE(hovered.count(), 2);  // same bar, no signal
        // New data forgets the index; so does leaving the graph.
        graph->setDataPoints(series({1, 2}));
        QCOMPARE(graph->barHoveredIndex(), qint64(-1));
        QTest::mouseMove(window.window(), QPoint(xOf(0.5), y));
        QCOMPARE(graph->barHoveredIndex(), qint64(0));
        graph->setVisible(false);
        QTRY_COMPARE(graph->barHoveredIndex(), qint64(-1));
        graph->setVisible(true);

        // A drag on the graph hides the hover bar for as long as the mouse is held.
        graph->setSelectionEnabled(true);
        QTest::mouseMove(window.window(), QPoint(xOf(1.5), y));
        QTRY_COMPARE(graph->barHoveredIndex(), qint64(1));
        QTest::mousePress(window.window(), Qt::LeftButton, {}, QPoint(xOf(1.5), y));
        QCOMPARE(graph->barHoveredIndex(), qint64(-1));
        QTest::mouseMove(window.window(), QPoint(xOf(4.5), y));
        QCOMPARE(graph->barHoveredIndex(), qint64(-1));
        QTest::mouseRelease(window.window(), Qt::LeftButton, {}, QPoint(xOf(4.5), y));
        QVERIFY(graph->hasSelection());
        QTest::mouseMove(window.window(), QPoint(xOf(3.5), y));
        QCOMPARE(graph->barHoveredIndex(), qint64(-1));
        QCOMPARE(graph->dataPointsLength(), size_t(2));
        graph->clearDataPoints();
        QCOMPARE(graph->dataPointsLength(), size_t(0));
    }

    void lineNeedsTwoPointsButMarksStillShow()
    {
        LineGraphRenderer::Data d;
        d.axes = fixedFrame();
        d.axes.maxX = 10;
        d.axes.maxY = 10;
        d.lineWidth = 3;
        d.dotWidth = 9;
        d.points = std::make_shared<std::vector<QPointF>>(std::vector<QPointF>{{5, 5}});
        d.labelledPoints.push_back({QPointF(5, 5), QString(), QString(), LabelledPoint::PointType_Solid, true});
        QImage image = renderLine(d);
        QVERIFY(pixels(image, isGreen).empty());
        const QRect dot = bounds(image, isWhite, QRect(kLeft + 1, 15, 320, kBottom - 16));
        QVERIFY(std::abs(dot.center().x() - (kLeft + 160)) <= 1);
        QVERIFY(std::abs(dot.center().y() - (kBottom - 122)) <= 1);
        QVERIFY(dot.width() >= 7 && dot.width() <= 10);

        // No data points at all: nothing but the frame.
        d.points = std::make_shared<std::vector<QPointF>>();
        QVERIFY(bounds(renderLine(d), isWhite, QRect(kLeft + 2, 15, 310, kBottom - 20)).isNull());

        // Two points: a line between them; a gap (NaN) breaks nothing.
        d.labelledPoints.clear();
        d.points =
            std::make_shared<std::vector<QPointF>>(std::vector<QPointF>{{0, 5}, {qQNaN(), 1}, {10, 5}, {INFINITY, 0}});
        image = renderLine(d);
        const auto runs = runsInRow(image, kBottom - 122, isGreen);
        QVERIFY(!runs.empty());
        QVERIFY(runs.front().first <= kLeft + 2 && runs.back().second >= kLeft + 318);
    }

    // A label centred on a point at the plot's edge moves inward and is read whole.
    void labelsNearTheEdgeStayWhole()
    {
        LineGraphRenderer::Data d;
        d.axes = fixedFrame();
        d.axes.maxX = d.axes.maxY = 10;
        d.axes.axisAnimTimeX = d.axes.axisAnimTimeY = 0;  // no axis lines among the text
        d.points = std::make_shared<std::vector<QPointF>>(std::vector<QPointF>{{0, 9}, {10, 9}});
        // The label's white text, seen through `window`, for a point at (x, y).
        const auto label = [&](double x, double y, const QString &text, int size, const QRect &window) {
            d.pointLabelPixelSize = size;
            d.labelledPoints = {{QPointF(x, y), text, QString(), LabelledPoint::PointType_Solid, true}};
            return bounds(renderLine(d), isWhite, window);
        };
        const QString text = QStringLiteral("Revolutions per second");
        const QRect middle = label(5, 9, text, 16, QRect(0, 60, 400, 200));
        const QRect left = label(0, 9, text, 16, QRect(0, 60, 400, 200));
        const QRect right = label(10, 9, text, 16, QRect(0, 60, 400, 200));
        QVERIFY(middle.width() > 100 && left.left() <= 2 && right.right() >= 397);
        QVERIFY(std::abs(left.width() - middle.width()) <= 2 && std::abs(right.width() - middle.width()) <= 2);
        // At the bottom the label below rises to stay whole (seen left of the dot and its leader).
        const QRect high = label(5, 5, QStringLiteral("Newest"), 30, QRect(160, 0, 45, 300));
        const QRect low = label(5, 0, QStringLiteral("Newest"), 30, QRect(160, 0, 45, 300));
        QVERIFY(high.height() >= 18);
        QCOMPARE(low.height(), high.height());
    }

    // Many points per pixel column: a lone spike among them still shows, line and fill.
    void denseLinesKeepTheirExtremes()
    {
        LineGraphRenderer::Data d;
        d.axes = fixedFrame();
        d.axes.maxX = 32000;
        d.axes.maxY = 10;
        d.lineWidth = 1;
        d.fillColor = QColor(0, 0, 255, 255);
        auto points = std::make_shared<std::vector<QPointF>>(32000);
        for (size_t i = 0; i < points->size(); ++i)
            (*points)[i] = QPointF(double(i), 1.0);
        (*points)[16037] = QPointF(16037, 9.0);
        d.points = points;
        const QImage image = renderLine(d);
        const int spikeX = kLeft + int(16037 * 320.0 / 32000);
        const int spikeY = kBottom - int(9 * 24.5);
        const QRect line = bounds(image, isGreen, QRect(spikeX - 3, 0, 7, kBottom));
        QVERIFY(std::abs(line.top() - spikeY) <= 2);
        d.lineColor = QColor(0, 0, 0, 0);
        const QImage fill = renderLine(d);
        const auto blue = [](const QColor &c) { return c.alpha() > 60 && c.blue() > 200 && c.green() < 100; };
        const QRect spike = bounds(fill, blue, QRect(spikeX - 3, 0, 7, kBottom - 30));
        QVERIFY(!spike.isNull() && std::abs(spike.top() - spikeY) <= 2);
        QVERIFY(bounds(fill, blue, QRect(kLeft + 20, 15, 60, kBottom - 40)).isNull());
    }

    void flatRangeDrawsTheLineOnTheAxis()
    {
        LineGraphRenderer::Data d;
        d.axes = fixedFrame();
        d.axes.maxX = 10;
        d.axes.minY = d.axes.maxY = 2;
        d.lineWidth = 3;
        d.points = std::make_shared<std::vector<QPointF>>(std::vector<QPointF>{{0, 2}, {10, 2}, {5, 80}});
        const QRect line = bounds(renderLine(d), isGreen);
        QVERIFY(!line.isNull());
        QVERIFY(line.top() >= kBottom - 3);
    }

    void fillReachesDownToTheAxis()
    {
        LineGraphRenderer::Data d;
        d.axes = fixedFrame();
        d.axes.maxX = 10;
        d.axes.maxY = 10;
        d.lineWidth = 1;
        d.lineColor = QColor(0, 0, 0, 0);
        d.fillColor = QColor(0, 0, 255);
        d.points = std::make_shared<std::vector<QPointF>>(std::vector<QPointF>{{0, 8}, {10, 8}});
        const QImage image = renderLine(d);
        const auto blue = [](const QColor &c) { return c.alpha() > 200 && c.blue() > 200 && c.red() < 50; };
        const auto runs = runsInColumn(image, kLeft + 100, blue);
        QCOMPARE(int(runs.size()), 1);
        QVERIFY(std::abs(runs[0].first - (kBottom - 196)) <= 1);
        QVERIFY(std::abs(runs[0].second - kBottom) <= 2);
        // The fill stays right of the y axis.
        QVERIFY(!blue(at(image, kLeft - 1, kBottom - 50)));
    }

    void automaticFitFollowsTheData()
    {
        LineGraph graph;
        QSignalSpy minX(&graph, &GraphAxes::minXChanged);
        graph.setAutoUpdateXMin(true);
        graph.setAutoUpdateXMax(true);
        graph.setAutoUpdateYMax(true);
        graph.setDataPoints({QPointF(3, 1), QPointF(3, 7), QPointF(3, -2), QPointF(qQNaN(), 50)});
        QCOMPARE(graph.minX(), 3.0);
        QCOMPARE(graph.maxX(), 3.0 + 1e-5);
        QCOMPARE(graph.maxY(), 7.0);
        QCOMPARE(graph.minY(), 0.0);  // not asked for
        QCOMPARE(minX.count(), 1);
        graph.setDataPoints({QPointF(3, 1), QPointF(3, 2)});
        QCOMPARE(minX.count(), 1);  // unchanged: no signal
        QCOMPARE(graph.maxY(), 2.0);
        graph.setAutoUpdateYMin(true);
        QCOMPARE(graph.minY(), 0.0);  // only data changes or the "now" slots fit
        graph.autoUpdateYAxisNow();
        QCOMPARE(graph.minY(), 1.0);
        graph.clearDataPoints();
        QCOMPARE(graph.minY(), 1.0);
        QCOMPARE(graph.dataPoints().size(), 0);
    }

    void labelledPointsAreOwnedCopies()
    {
        LineGraph graph;
        LabelledPoint original;
        original.setPoint(QPointF(2, 3));
        original.setText(QStringLiteral("peak"));
        original.setPointType(LabelledPoint::PointType_Circle);
        QObject foreign;
        QSignalSpy changed(&graph, &LineGraph::labelledPointsChanged);
        graph.setLabelledPoints({&foreign, &original, &graph, nullptr});
        QCOMPARE(changed.count(), 1);
        QCOMPARE(graph.labelledPoints().size(), 1);
        auto *copy = qobject_cast<LabelledPoint *>(graph.labelledPoints().first());
        QVERIFY(copy && copy != &original);
        QCOMPARE(QQmlEngine::objectOwnership(copy), QQmlEngine::CppOwnership);
        QCOMPARE(copy->text(), QStringLiteral("peak"));
        QCOMPARE(copy->pointType(), LabelledPoint::PointType_Circle);

        original.setText(QStringLiteral("changed"));
        original.setPoint(QPointF(9, 9));
        QCOMPARE(graph.snapshot().labelledPoints.at(0).text, QStringLiteral("peak"));
        QCOMPARE(graph.snapshot().labelledPoints.at(0).point, QPointF(2, 3));

        // Handing the graph its own list back (as QML does when it appends) keeps the points.
        QList<QObject *> own = graph.labelledPoints();
        own.append(&original);
        graph.setLabelledPoints(own);
        QCOMPARE(graph.labelledPoints().size(), 2);
        QCOMPARE(graph.snapshot().labelledPoints.at(0).text, QStringLiteral("peak"));
        QCOMPARE(graph.snapshot().labelledPoints.at(1).text, QStringLiteral("changed"));
        graph.clearLabelledPoints();
        QCOMPARE(graph.labelledPoints().size(), 0);
    }

    void pointComparesWithARelativeTolerance()
    {
        LabelledPoint p;
        QSignalSpy spy(&p, &LabelledPoint::pointChanged);
        p.setPoint(QPointF(1e-13, 0));  // absolute near zero
        QCOMPARE(spy.count(), 0);
        p.setPoint(QPointF(1e6, 5));
        p.setPoint(QPointF(1e6 + 1e-7, 5));  // relative 1e-13
        QCOMPARE(spy.count(), 1);
        p.setPoint(QPointF(1e6 + 1e-3, 5));
        QCOMPARE(spy.count(), 2);
    }

    void flagsTakeTheDotColour()
    {
        LineGraph graph;
        graph.setSize(QSizeF(400, 300));
        graph.setMaxX(10);
        graph.setMaxY(10);
        graph.setDotWidth(20);
        graph.setDataPoints({QPointF(0, 1), QPointF(10, 1)});
        LabelledPoint flag;
        flag.setPoint(QPointF(5, 5));
        flag.setPointType(LabelledPoint::PointType_Flag);
        graph.setLabelledPoints({&flag});
        auto flagPixels = [&](const QColor &colour) {
            QImage image = canvas(400, 300);
            QPainter painter(&image);
            graph.paintBackground(&painter);
            painter.end();
            const QRectF plot = graph.plotRect();
            const QPointF p = graph.mapping().map(5, 5);
            // Above the dot: only the marker is there (30 px tall for a 20 px dot).
            const QRect above(int(p.x()) - 15, int(p.y()) - 30, 30, 18);
            Q_UNUSED(plot);
            return pixels(
                       image, [&](const QColor &c) { return sameRgb(c, colour, 30); }, above)
                .size();
        };
        graph.setDotColor(QColor(255, 0, 0));
        QVERIFY(flagPixels(QColor(255, 0, 0)) > 20);
        graph.setDotColor(QColor(0, 0, 255));
        QVERIFY(flagPixels(QColor(0, 0, 255)) > 20);
        QCOMPARE(flagPixels(QColor(255, 0, 0)), size_t(0));
    }
};

QTEST_MAIN(GraphsTest)
#include "GraphsTest.moc"
