#include "items/GraphAxes.h"
#include "ImageProbe.h"
#include "ItemWindow.h"
#include "render/GraphAxesRenderer.h"

#include <QLocale>
#include <QPainter>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <limits>

using namespace ImageProbe;

namespace {
// Margins fixed by their minimums (the labels need less), so the plot is known up front:
// x from 60 to 380, y from 15 to 260 in a 400 x 300 item.
GraphAxesRenderer::Data fixedFrame()
{
    GraphAxesRenderer::Data d;
    d.minLeftMargin = 60;
    d.minRightMargin = 20;
    d.minTopMargin = 15;
    d.minBottomMargin = 40;
    d.axisPenWidth = 1;
    d.tickLength = 10;
    d.drawLabelX = d.drawLabelY = false;
    return d;
}
const QRectF kBounds(0, 0, 400, 300);
constexpr int kLeft = 60, kRight = 380, kTop = 15, kBottom = 260;

QImage render(const GraphAxesRenderer::Data &d)
{
    QImage image = canvas(400, 300);
    QPainter painter(&image);
    GraphAxesRenderer::draw(painter, kBounds, d);
    return image;
}

bool white(const QColor &c)
{
    return c.alpha() > 128 && c.red() > 200 && c.green() > 200 && c.blue() > 200;
}
bool ink(const QColor &c)
{
    return c.alpha() > 100;
}
}  // namespace

class GraphAxesTest : public QObject
{
    Q_OBJECT

private slots:
    void minimumMarginsPlaceThePlot()
    {
        QCOMPARE(GraphAxesRenderer::plotRect(kBounds, fixedFrame()),
                 QRectF(kLeft, kTop, kRight - kLeft, kBottom - kTop));
        // Padding adds to the computed margins; a minimum larger than both wins.
        GraphAxesRenderer::Data d = fixedFrame();
        d.minLeftMargin = 0;
        const int computed = GraphAxesRenderer::margins(kBounds.size(), d).left;
        d.padding = 7;
        QCOMPARE(GraphAxesRenderer::margins(kBounds.size(), d).left, computed + 7);
        QCOMPARE(GraphAxesRenderer::margins(kBounds.size(), d).top, 15);
    }

    void axesAndTicksFollowTheAnimationFractions_data()
    {
        QTest::addColumn<double>("animX");
        QTest::addColumn<double>("animY");
        QTest::newRow("full") << 1.0 << 1.0;
        QTest::newRow("x half") << 0.5 << 1.0;
        QTest::newRow("y half") << 1.0 << 0.5;
        QTest::newRow("x hidden") << 0.0 << 1.0;
    }
    void axesAndTicksFollowTheAnimationFractions()
    {
        QFETCH(double, animX);
        QFETCH(double, animY);
        GraphAxesRenderer::Data d = fixedFrame();
        d.tickMarksX = 4;
        d.tickMarksY = 5;
        d.axisAnimTimeX = animX;
        d.axisAnimTimeY = animY;
        const QImage image = render(d);

        // The x axis line along the bottom, as far as its fraction of the width (ticks cross
        // that row too: the run that starts at the axis is the line).
        auto runFrom = [](const std::vector<std::pair<int, int>> &runs, int from) {
            for (const auto &run : runs)
                if (run.first <= from + 1 && run.second >= from - 1)
                    return run;
            return std::pair<int, int>(-100, -100);
        };
        const auto xLine = runFrom(runsInRow(image, kBottom, white), kLeft + 1);
        if (animX > 0)
            QVERIFY2(std::abs(xLine.second - (kLeft + 320 * animX)) <= 1, qPrintable(QString::number(xLine.second)));
        else
            QVERIFY(xLine.second < kLeft + 2);
        // The y axis line up the left edge, as far as its fraction of the height.
        const auto yLine = runFrom(runsInColumn(image, kLeft, white), kBottom - 1);
        QVERIFY2(std::abs(yLine.first - (kBottom - 245 * animY)) <= 1, qPrintable(QString::number(yLine.first)));

        // x ticks (5 px either side of the axis) at int(left + width * i / 4), as far as the
        // y fraction allows; y ticks likewise, gated by the x fraction.
        for (int i = 1; i <= 4; ++i) {
            const int x = int(kLeft + 320.0 * i / 4);
            const bool drawn = double(i) / 4 <= animY;
            QCOMPARE(white(at(image, x, kBottom + 4)), drawn);
            QCOMPARE(white(at(image, x, kBottom - 4)), drawn);
        }
        for (int i = 1; i <= 5; ++i) {
            const int y = int(kBottom - 245.0 * i / 5);
            const bool drawn = animX > 0 && double(i) / 5 <= animX;
            QCOMPARE(white(at(image, kLeft - 4, y)), drawn);
            QCOMPARE(white(at(image, kLeft + 4, y)), drawn);
        }
        // Nothing between the ticks.
        QVERIFY(!white(at(image, kLeft + 40, kBottom + 4)));
        QVERIFY(!white(at(image, kLeft - 4, kBottom - 20)));
    }

    void absurdTickCountsStayBounded()
    {
        GraphAxesRenderer::Data d = fixedFrame();
        d.tickMarksX = std::numeric_limits<int>::max();
        d.tickMarksY = std::numeric_limits<int>::max();
        QElapsedTimer timer;
        timer.start();
        render(d);  // would take hours drawing two billion ticks
        QVERIFY(timer.elapsed() < 60000);
    }

    void rangeTextsAreLocaleFreeAndReplacedOnlyByLists()
    {
        const QLocale previous;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        GraphAxesRenderer::Data d;
        d.minX = 0.5;
        d.maxX = 1234.5678;
        d.minY = -2;
        d.maxY = 3;
        d.sigFigsX = 2;
        d.sigFigsY = 0;
        QCOMPARE(GraphAxesRenderer::rangeTexts(d), QStringList({"0.50", "1234.57", "-2", "3"}));
        d.axisLabelsX = QStringList{"only"};
        QCOMPARE(GraphAxesRenderer::rangeTexts(d).mid(0, 2), QStringList({"0.50", "1234.57"}));
        d.axisLabelsX = QStringList{"Mon", "Tue", "Wed"};
        d.axisLabelsY = QStringList{"low", "high"};
        QCOMPARE(GraphAxesRenderer::rangeTexts(d), QStringList({"Mon", "Wed", "low", "high"}));
        d.sigFigsX = 100000;  // bounded, not a megabyte of zeros
        d.axisLabelsX.clear();
        QVERIFY(GraphAxesRenderer::rangeTexts(d).at(0).size() < 40);
        QLocale::setDefault(previous);
    }

    void labelsSitAtTheirCorners()
    {
        GraphAxesRenderer::Data d = fixedFrame();
        d.drawLabelX = d.drawLabelY = true;
        d.rangeLabelPixelSize = 12;
        d.labelPixelSize = 14;
        d.labelY = QStringLiteral("Flow");
        const QImage image = render(d);
        // maxX: top-right at (right, bottom + int(0.8 x 12)).
        const QRect maxX = bounds(image, ink, QRect(kRight - 60, kBottom + 2, 80, 30));
        QVERIFY(maxX.right() <= kRight && maxX.right() >= kRight - 3);
        QVERIFY(maxX.top() >= kBottom + 9);
        // minY: bottom-right at (left - int(0.4 x 12), bottom).
        const QRect minY = bounds(image, ink, QRect(0, kBottom - 30, kLeft - 2, 29));
        QVERIFY(minY.right() <= kLeft - 4 && minY.right() >= kLeft - 8);
        QVERIFY(minY.bottom() <= kBottom);
        // The y title reads upwards: taller than wide, its bottom 0.8 x 14 left of the axis.
        const QRect title = bounds(image, ink, QRect(0, kTop + 20, kLeft - 2, 200));
        QVERIFY(title.height() > 2 * title.width());
        QVERIFY(title.right() <= kLeft - 11 && title.right() >= kLeft - 16);
        QVERIFY(std::abs(title.center().y() - (kTop + kBottom) / 2) <= 3);
    }

    void mappingAndMousePositionClamp()
    {
        GraphAxes item;
        item.setSize(QSizeF(400, 300));
        item.setMinLeftMargin(60);
        item.setMinRightMargin(20);
        item.setMinTopMargin(15);
        item.setMinBottomMargin(40);
        item.setAxisPenWidth(1);
        item.setDrawLabelX(false);
        item.setDrawLabelY(false);
        item.setMinX(10);
        item.setMaxX(20);
        QCOMPARE(item.plotRect(), QRectF(kLeft, kTop, 320, 245));
        QCOMPARE(item.mousePositionToSelection(QPointF(0, 100), true), 10.0);
        QCOMPARE(item.mousePositionToSelection(QPointF(399, 100), false), 20.0);
        QCOMPARE(item.mousePositionToSelection(QPointF(kLeft + 160, 5), false), 15.0);
        QCOMPARE(item.mousePositionToSelection(QPointF(kLeft + 3 * 32 + 17, 5), true), 14.0);  // 13.53
        QCOMPARE(item.mapping().map(15, 0.5), QPointF(kLeft + 160, kBottom - 122.5));

        // Equal ends: both collapse onto the plot's left or bottom edge instead of dividing by 0.
        item.setMinY(3);
        item.setMaxY(3);
        const QPointF flat = item.mapping().map(12, 1e6);
        QCOMPARE(flat.y(), double(kBottom));
        item.setMaxX(10);
        QCOMPARE(item.mapping().map(99, 3).x(), double(kLeft));
        QCOMPARE(item.mousePositionToSelection(QPointF(300, 100), true), 10.0);
        // An inverted range still clamps into it.
        item.setMinX(20);
        item.setMaxX(10);
        const double v = item.mousePositionToSelection(QPointF(399, 100), false);
        QVERIFY(v >= 10 && v <= 20);
        // A plot without area maps everything onto its corner.
        item.setSize(QSizeF(50, 30));
        item.setMinX(0);
        item.setMaxX(1);
        QCOMPARE(item.mapping().scaleX(), 0.0);
        QVERIFY(std::isfinite(item.mousePositionToSelection(QPointF(25, 10), true)));
    }

    void selectionExistsOnlyForDistinctEnds()
    {
        const double none = GraphAxesRenderer::kNoSelection;
        QVERIFY(!GraphAxesRenderer::hasSelection(none, none));
        QVERIFY(!GraphAxesRenderer::hasSelection(5, none));
        QVERIFY(!GraphAxesRenderer::hasSelection(5, 5));
        QVERIFY(GraphAxesRenderer::hasSelection(5, 6));
        QVERIFY(GraphAxesRenderer::hasSelection(6, 5));
        QVERIFY(GraphAxesRenderer::hasSelection(0, 1e-300));
        QVERIFY(!GraphAxesRenderer::hasSelection(1e15, 1e15 + 0.5));
    }

    void mouseSelectsOnTheXAxis()
    {
        auto *item = new GraphAxes;
        item->setMinX(0);
        item->setMaxX(100);
        ItemWindow window(item);
        QVERIFY(window.exposed());
        const QRectF plot = item->plotRect();
        auto xAt = [&](double value) { return int(std::round(plot.left() + plot.width() * value / 100)); };
        const int y = int(plot.center().y());

        // Off: the mouse passes through and nothing changes.
        QTest::mouseMove(window.window(), QPoint(xAt(30), y));
        QTest::mouseClick(window.window(), Qt::LeftButton, {}, QPoint(xAt(30), y));
        QCOMPARE(item->selectionStart(), GraphAxesRenderer::kNoSelection);

        item->setSelectionEnabled(true);
        QCOMPARE(item->cursor().shape(), Qt::CrossCursor);
        QTest::mouseMove(window.window(), QPoint(xAt(40.2), y));
        QTRY_COMPARE(item->selectionStart(), 40.0);
        QCOMPARE(item->selectionEnd(), 40.0);
        QVERIFY(!item->hasSelection());

        QSignalSpy grabbed(item, &GraphAxes::mouseGrabbedChanged);
        QTest::mousePress(window.window(), Qt::LeftButton, {}, QPoint(xAt(20.4), y));
        QCOMPARE(item->mouseGrabbed(), true);
        QCOMPARE(item->selectionStart(), 20.0);
        QCOMPARE(item->selectionEnd(), 20.0);
        QTest::mouseMove(window.window(), QPoint(xAt(60.3), y));
        QTest::mouseMove(window.window(), QPoint(window->width() - 1, y));  // past the plot
        QCOMPARE(item->selectionStart(), 20.0);
        QCOMPARE(item->selectionEnd(), 100.0);
        QTest::mouseRelease(window.window(), Qt::LeftButton, {}, QPoint(window->width() - 1, y));
        QCOMPARE(item->mouseGrabbed(), false);
        QCOMPARE(grabbed.count(), 2);
        QVERIFY(item->hasSelection());
        // Hovering keeps a selection.
        QTest::mouseMove(window.window(), QPoint(xAt(70), y));
        QCOMPARE(item->selectionStart(), 20.0);
        QCOMPARE(item->selectionEnd(), 100.0);

        // A right-button press marks one point without a drag: the ends then move together and
        // both report it.
        QSignalSpy ends(item, &GraphAxes::selectionEndChanged);
        QTest::mousePress(window.window(), Qt::RightButton, {}, QPoint(xAt(10), y));
        QCOMPARE(item->mouseGrabbed(), false);
        QCOMPARE(item->selectionStart(), 10.0);
        QCOMPARE(item->selectionEnd(), 10.0);
        QVERIFY(!item->hasSelection());
        ends.clear();
        QTest::mouseMove(window.window(), QPoint(xAt(30), y));
        QCOMPARE(item->selectionStart(), 30.0);
        QCOMPARE(item->selectionEnd(), 30.0);
        QCOMPARE(ends.count(), 1);
        QTest::mouseRelease(window.window(), Qt::RightButton, {}, QPoint(xAt(30), y));
        QCOMPARE(item->mouseGrabbed(), false);
        QVERIFY(!item->hasSelection());
    }

    void lostGrabEndsTheDrag()
    {
        auto *item = new GraphAxes;
        item->setSelectionEnabled(true);
        ItemWindow window(item);
        QVERIFY(window.exposed());
        QTest::mousePress(window.window(), Qt::LeftButton, {}, QPoint(200, 200));
        QVERIFY(item->mouseGrabbed());
        auto *other = new QQuickItem(window->contentItem());
        other->grabMouse();
        QCOMPARE(item->mouseGrabbed(), false);
    }

    void selectionOverlaySpansTheSelectedRange()
    {
        GraphAxesRenderer::Data d = fixedFrame();
        d.minX = 0;
        d.maxX = 8;
        GraphAxesRenderer::Selection s;
        s.start = 2;
        s.end = 6;
        s.color = QColor(255, 0, 0, 255);
        s.startLabel = QStringLiteral("from");
        s.endLabel = QStringLiteral("to");
        QImage image = canvas(400, 300);
        {
            QPainter painter(&image);
            GraphAxesRenderer::drawSelection(painter, kBounds, d, s);
        }
        const auto red = [](const QColor &c) { return c.alpha() > 200 && c.red() > 200 && c.green() < 50; };
        const auto runs = runsInRow(image, kTop + 10, red);
        QCOMPARE(int(runs.size()), 1);
        QVERIFY(std::abs(runs[0].first - (kLeft + 80)) <= 1);
        QVERIFY(std::abs(runs[0].second - (kLeft + 240)) <= 1);
        // The label boxes stand on the bottom of the plot, one pixel above it.
        const auto dark = [](const QColor &c) { return c.alpha() > 100 && c.red() < 150 && c.green() < 20; };
        const QRect startBox = bounds(image, dark, QRect(kLeft + 40, kBottom - 40, 80, 40));
        QVERIFY(!startBox.isNull());
        QVERIFY(std::abs(startBox.bottom() - (kBottom - 2)) <= 1);
        QVERIFY(std::abs(startBox.center().x() - (kLeft + 80)) <= 3);
    }
};

QTEST_MAIN(GraphAxesTest)
#include "GraphAxesTest.moc"
