#include "items/Gauge.h"
#include "ImageProbe.h"
#include "render/GaugeRenderer.h"

#include <QPainter>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>

using namespace ImageProbe;

namespace {
// The dial sits in a larger canvas because the needle tip reaches past the rim.
const QRectF kDial(50, 50, 200, 200);

QImage render(const GaugeRenderer::Data &data, const QRectF &rect = kDial)
{
    QImage image = canvas(int(rect.right()) + 50, int(rect.bottom()) + 50);
    QPainter painter(&image);
    GaugeRenderer::draw(painter, rect, data);
    return image;
}

GaugeRenderer::Data dial(double value)
{
    GaugeRenderer::Data d;
    d.minValue = 10;
    d.maxValue = 30;
    d.value = value;
    d.nutColor = QColor(255, 0, 0);
    d.borderColor = QColor(255, 255, 255);
    d.dashColor = QColor(0, 0, 255);
    return d;
}

bool isNut(const QColor &c)
{
    return c.alpha() > 30 && c.red() - std::max(c.green(), c.blue()) > 60;  // also over white
}
}  // namespace

class GaugeTest : public QObject
{
    Q_OBJECT

private slots:
    void needlePointsAtTheValue_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<double>("fraction");
        QTest::newRow("min") << 10.0 << 0.0;
        QTest::newRow("quarter") << 15.0 << 0.25;
        QTest::newRow("mid") << 20.0 << 0.5;
        QTest::newRow("max") << 30.0 << 1.0;
        QTest::newRow("below min") << -500.0 << 0.0;
        QTest::newRow("above max") << 1e9 << 1.0;
        QTest::newRow("NaN") << qQNaN() << 0.0;
    }
    void needlePointsAtTheValue()
    {
        QFETCH(double, value);
        QFETCH(double, fraction);
        const QImage image = render(dial(value));
        // The needle's direction is that of its red pixels outside the cap; its reach is that of
        // the farthest of them (the thin antialiased tip fades out a little before the corner).
        const QPointF c = kDial.topLeft() + QPointF(100, 100);
        const double radius = 99.0;  // half the width less half the border
        QPointF sum;
        double reach = 0;
        for (const QPoint &p : pixels(image, isNut)) {
            const QPointF v = QPointF(p) + QPointF(0.5, 0.5) - c;
            const double d = std::hypot(v.x(), v.y());
            reach = std::max(reach, d);
            if (d > 0.2 * radius)
                sum += v;
        }
        QVERIFY2(reach > 0.95 * radius && reach < 1.06 * radius, qPrintable(QString::number(reach)));
        const double angle = std::atan2(-sum.y(), -sum.x());  // 0 = left, pi/2 = up
        const double expected = M_PI * fraction;
        double diff = std::abs(angle - expected);
        diff = std::min(diff, 2 * M_PI - diff);
        QVERIFY2(diff < 0.04, qPrintable(QString("angle %1 expected %2").arg(angle).arg(expected)));
    }

    void emptyOrInvertedRangeRestsAtTheLeft()
    {
        GaugeRenderer::Data d = dial(5);
        d.minValue = d.maxValue = 5;
        QCOMPARE(GaugeRenderer::needleFraction(d), 0.0);
        d.maxValue = 1;
        d.value = 3;
        QCOMPARE(GaugeRenderer::needleFraction(d), 0.0);
    }

    void tickMarksAreSpreadOverTheHalfCircle_data()
    {
        QTest::addColumn<int>("ticks");
        QTest::newRow("none") << 0;
        QTest::newRow("one") << 1;
        QTest::newRow("five") << 5;
        QTest::newRow("default") << 17;
    }
    void tickMarksAreSpreadOverTheHalfCircle()
    {
        QFETCH(int, ticks);
        GaugeRenderer::Data d = dial(10);
        d.tickMarks = ticks;
        d.nutColor = QColor(0, 0, 0, 0);  // keep the needle out of the way
        const QImage image = render(d);
        // Walk the upper half on a ring between the tick start (93 %) and the rim.
        const QPointF c = kDial.topLeft() + QPointF(100, 100);
        const double r = 0.965 * 99.0;
        std::vector<double> centres;
        bool inTick = false;
        double start = 0;
        const int steps = 3600;
        for (int i = 0; i <= steps; ++i) {
            const double a = M_PI * i / steps;
            const QColor px = at(image, int(c.x() - r * std::cos(a)), int(c.y() - r * std::sin(a)));
            const bool hit = px.alpha() > 128;
            if (hit && !inTick)
                start = a;
            if (!hit && inTick)
                centres.push_back((start + a) / 2);
            inTick = hit;
        }
        QCOMPARE(int(centres.size()), ticks);
        for (int i = 0; i < ticks; ++i) {
            const double expected = M_PI * (i + 0.25) / (ticks - 0.5);
            QVERIFY2(std::abs(centres[i] - expected) < 0.03,
                     qPrintable(QString("tick %1 at %2, expected %3").arg(i).arg(centres[i]).arg(expected)));
        }
    }

    void squareDialShadesTheLowerRightFromTheCircleBottom()
    {
        GaugeRenderer::Data d = dial(10);
        d.nutColor = QColor(0, 0, 0, 0);
        const QRectF square(0, 0, 200, 200);
        QImage image = canvas(200, 200);
        {
            QPainter painter(&image);
            GaugeRenderer::drawFace(painter, square, d);
        }
        QCOMPARE(GaugeRenderer::shadowCorner(square), QPointF(100, 200));
        // Row y = 196: the triangle from (100, 200) to (200, 120) begins at x = 105.
        QCOMPARE(at(image, 80, 196).alpha(), 255);
        QCOMPARE(at(image, 102, 196).alpha(), 255);
        QVERIFY(std::abs(at(image, 110, 196).alpha() - 220) <= 2);
        // Row 180: the band is shaded right of x = 125 only.
        QCOMPARE(at(image, 120, 180).alpha(), 255);
        QVERIFY(std::abs(at(image, 140, 180).alpha() - 220) <= 2);
        QVERIFY2(sameRgb(at(image, 140, 180), QColor(0, 0, 255), 2),
                 qPrintable(at(image, 140, 180).name(QColor::HexArgb)));
    }

    // acos has no value once the item is taller than wide; the dial then looks as in a square.
    void tallerThanWideDrawsTheSquareDial()
    {
        GaugeRenderer::Data d = dial(22);
        QImage square = canvas(120, 300), tall = canvas(120, 300);
        {
            QPainter p1(&square), p2(&tall);
            GaugeRenderer::draw(p1, QRectF(0, 0, 120, 120), d);
            GaugeRenderer::draw(p2, QRectF(0, 0, 120, 300), d);
        }
        const QPointF corner = GaugeRenderer::shadowCorner(QRectF(0, 0, 120, 300));
        QVERIFY(std::isfinite(corner.x()) && std::isfinite(corner.y()));
        QCOMPARE(tall.copy(0, 0, 120, 130), square.copy(0, 0, 120, 130));
        QCOMPARE(bounds(tall, [](const QColor &c) { return c.alpha() > 0; }).bottom() < 125, true);
    }

    void itemRepaintsWithItsSnapshotAndEmitsOnChangeOnly()
    {
        Gauge gauge;
        QSignalSpy value(&gauge, &Gauge::valueChanged);
        QSignalSpy ticks(&gauge, &Gauge::tickMarksChanged);
        gauge.setValue(0);
        gauge.setTickMarks(17);
        QCOMPARE(value.count(), 0);
        QCOMPARE(ticks.count(), 0);
        gauge.setValue(0.75);
        gauge.setTickMarks(3);
        QCOMPARE(value.count(), 1);
        QCOMPARE(value.at(0).at(0).toDouble(), 0.75);
        QCOMPARE(ticks.at(0).at(0).toInt(), 3);

        // The item's paint (cached face plus needle) draws what the renderer draws.
        gauge.setWidth(160);
        gauge.setHeight(90);
        gauge.setNutColor(QColor(200, 20, 20));
        QImage viaItem = canvas(160, 90), direct = canvas(160, 90);
        {
            QPainter p(&viaItem);
            gauge.paint(&p);
        }
        {
            QPainter p(&direct);
            GaugeRenderer::draw(p, QRectF(0, 0, 160, 90), gauge.snapshot());
        }
        QCOMPARE(viaItem, direct);
        // A value change after the face is cached moves only the needle.
        gauge.setValue(0.1);
        QImage again = canvas(160, 90);
        {
            QPainter p(&again);
            gauge.paint(&p);
        }
        QImage expected = canvas(160, 90);
        {
            QPainter p(&expected);
            GaugeRenderer::draw(p, QRectF(0, 0, 160, 90), gauge.snapshot());
        }
        QCOMPARE(again, expected);
        QVERIFY(again != viaItem);
    }
};

QTEST_MAIN(GaugeTest)
#include "GaugeTest.moc"
