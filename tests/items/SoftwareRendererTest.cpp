#include "items/SoftwareRenderer.h"
#include "common/CommonMetatypes.h"
#include "decider/WrappedEllipticalDecider.h"
#include "ImageProbe.h"
#include "ItemWindow.h"
#include "render/SceneRenderer.h"

#include <QPainter>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <cstring>

using namespace ImageProbe;

namespace {
constexpr int kDeadlineMs = 60000;

// Twenty points at one place: the newest of them show as well-fitting (green) dots.
SceneRenderer::Data pointAt(const QVector3D &p, const QVector3D &eye, bool orthogonal)
{
    SceneRenderer::Data d;
    d.points.assign(20, p);
    d.intensities.assign(20, 0);
    d.eye = eye;
    d.orthogonal = orthogonal;
    d.axes = 0;
    d.planes = 0;
    return d;
}

QPointF dotCentre(const SceneRenderer::Data &d, QSize size)
{
    QImage image = canvas(size.width(), size.height());
    QPainter painter(&image);
    SceneRenderer::draw(painter, QRectF(QPointF(0, 0), QSizeF(size)), d);
    painter.end();
    return centroid(pixels(image, [](const QColor &c) { return c.alpha() > 60 && c.green() > 200 && c.red() < 60; }));
}

bool xColoured(const QColor &c)
{
    return c.alpha() > 60 && c.red() > 200 && c.blue() > 80 && c.blue() < 180;
}
bool yColoured(const QColor &c)
{
    return c.alpha() > 60 && c.blue() > 200 && c.red() > 80 && c.red() < 180;
}

// A magnet turning in a tilted circle around (100, -50, 30) uT, in raw tenths.
void feed(WrappedEllipticalDecider &decider, int samples)
{
    static int64_t t = 1700000000LL * 1000000000LL;
    static int i = 0;
    for (int n = 0; n < samples; ++n, ++i) {
        const double a = i * 2.0 * M_PI / 100.0;
        XyzSampleTimestamped s{};
        s.x = int16_t(1000 + 400 * std::cos(a));
        s.y = int16_t(-500 + 400 * std::sin(a));
        s.z = int16_t(300 + 100 * std::sin(a));
        s.timestamp = t;
        t += 2500000;
        decider.addSample(s);
    }
}

QByteArray parameterPacket(float inner, float outer, const QVector3D &offset)
{
    EllipticalParameters p;
    p.centerX = 100;
    p.centerY = -50;
    p.centerZ = 30;
    p.innerRadius = inner;
    p.outerRadius = outer;
    p.sphereOffsetU = offset.x();
    p.sphereOffsetV = offset.y();
    p.sphereOffsetW = offset.z();
    uint8_t bytes[WrappedEllipticalDecider::kPacketSize] = {};
    p.toBytes(bytes + 10);
    const int32_t running = 1;
    std::memcpy(bytes + 98, &running, sizeof running);
    return QByteArray(reinterpret_cast<const char *>(bytes), sizeof bytes);
}
}  // namespace

class SoftwareRendererTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { registerCommonMetatypes(); }

    // Orthographic, zoom 1: one unit is a quarter of the longer side; x grows to the right
    // and the up axis upwards on screen.
    void fixedViewsProjectAlongTheirAxis_data()
    {
        QTest::addColumn<QVector3D>("eye");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QPointF>("expected");
        const QVector3D p(0.8f, 0.4f, 0.6f);
        QTest::newRow("through") << QVector3D(0, 0, 1) << QSize(400, 400)
                                 << QPointF(200 + 100 * p.x(), 200 - 100 * p.y());
        QTest::newRow("along y") << QVector3D(0, 1, 0) << QSize(400, 400)
                                 << QPointF(200 - 100 * p.x(), 200 - 100 * p.z());
        QTest::newRow("along x") << QVector3D(1, 0, 0) << QSize(400, 400)
                                 << QPointF(200 + 100 * p.y(), 200 - 100 * p.z());
        QTest::newRow("through, wide") << QVector3D(0, 0, 1) << QSize(600, 300)
                                       << QPointF(300 + 150 * p.x(), 150 - 150 * p.y());
        QTest::newRow("along x, tall") << QVector3D(1, 0, 0) << QSize(200, 400)
                                       << QPointF(100 + 100 * p.y(), 200 - 100 * p.z());
    }
    void fixedViewsProjectAlongTheirAxis()
    {
        QFETCH(QVector3D, eye);
        QFETCH(QSize, size);
        QFETCH(QPointF, expected);
        const QPointF c = dotCentre(pointAt(QVector3D(0.8f, 0.4f, 0.6f), eye, true), size);
        QVERIFY2(std::abs(c.x() - expected.x()) < 1.0 && std::abs(c.y() - expected.y()) < 1.0,
                 qPrintable(QString("(%1, %2)").arg(c.x()).arg(c.y())));
    }

    void axesAndPlanesFollowTheirFlags()
    {
        SceneRenderer::Data d = pointAt(QVector3D(), QVector3D(0, 0, 1), true);
        auto render = [&] {
            QImage image = canvas(400, 400);
            QPainter painter(&image);
            SceneRenderer::draw(painter, QRectF(0, 0, 400, 400), d);
            return image;
        };
        QImage image = render();
        QVERIFY(pixels(image, xColoured).empty());
        QVERIFY(pixels(image, yColoured).empty());

        d.axes = SceneRenderer::Axis_X;
        image = render();
        const QRect xAxis = bounds(image, xColoured);
        QVERIFY(!xAxis.isNull());
        QVERIFY(std::abs(xAxis.center().y() - 200) <= 2);
        QVERIFY(pixels(image, yColoured).empty());

        // The XY grid of the default box (+-1, half axis length sqrt(3)) has lines at +-1 in
        // each direction: the ones along y (in y's colour) stand at x = 100 and 300.
        d.axes = 0;
        d.planes = SceneRenderer::Plane_XY;
        image = render();
        const auto runs = runsInRow(image, 150, yColoured);
        QCOMPARE(int(runs.size()), 2);
        QVERIFY(std::abs(runs[0].first - 100) <= 1 && std::abs(runs[1].first - 300) <= 1);
        d.planes = SceneRenderer::Plane_YZ;  // seen edge-on from z: only the line through the middle
        image = render();
        QVERIFY(pixels(image, xColoured).empty());
    }

    void pointsBehindTheEyeAreLeftOut()
    {
        // A perspective view from inside a huge box: grid ends and points lie behind the eye.
        SceneRenderer::Data d = pointAt(QVector3D(0, 0, 500), QVector3D(0, 0, 1), false);
        d.boxMin = QVector3D(-1, -1, -1);
        d.boxMax = QVector3D(1, 1, 1);
        d.origin = QVector3D(0, 0, 0);
        d.axes = 7;
        d.planes = 7;
        d.points.push_back(QVector3D(NAN, 0, 0));
        d.intensities.push_back(0);
        d.circles.emplace_back(0, 0, 2000, 1e30f);
        QImage image = canvas(300, 300);
        QPainter painter(&image);
        const SceneRenderer::ScreenBox box = SceneRenderer::draw(painter, QRectF(0, 0, 300, 300), d);
        QVERIFY(!box.valid || (std::isfinite(box.min.x()) && std::isfinite(box.max.y())));
    }

    void reverseUndoesTheProjection()
    {
        SoftwareRenderer item;
        item.setSize(QSizeF(400, 400));
        item.setEyeVector(QVector3D(0, 0, 1));
        item.setOrthogonal(true);
        const QPointF p = item.reverse(280, 160);
        QVERIFY(std::abs(p.x() - 0.8) < 1e-3 && std::abs(p.y() - 0.4) < 1e-3);
    }

    void sceneComesFromTheDecider()
    {
        SoftwareRenderer item;
        item.setSize(QSizeF(300, 300));
        // No source, or one that is not a decider: a single point at the origin.
        SceneRenderer::Data d = item.prepareFrame();
        QCOMPARE(int(d.points.size()), 1);
        QCOMPARE(d.points[0], QVector3D());
        QObject notADecider;
        item.setSource(&notADecider);
        QCOMPARE(int(item.prepareFrame().points.size()), 1);

        // Without parameters the raw (smoothed) sensor points show, all fitting, no circles.
        auto *decider = new WrappedEllipticalDecider;
        feed(*decider, 300);
        item.setSource(decider);
        d = item.prepareFrame();
        QCOMPARE(int(d.points.size()), 300);
        QVERIFY(std::all_of(d.intensities.begin(), d.intensities.end(), [](uint8_t v) { return v == 0; }));
        QVERIFY(d.circles.empty());
        QVERIFY(d.hull.empty());
        QVector3D lo = d.points[0], hi = d.points[0];
        for (const QVector3D &p : d.points) {
            lo = QVector3D(std::min(lo.x(), p.x()), std::min(lo.y(), p.y()), std::min(lo.z(), p.z()));
            hi = QVector3D(std::max(hi.x(), p.x()), std::max(hi.y(), p.y()), std::max(hi.z(), p.z()));
        }
        const QVector3D centre = (lo + hi) / 2;
        QVERIFY2((centre - QVector3D(100, -50, 30)).length() < 10, qPrintable(QString::number(centre.x())));
        // The view box eases towards the data mirrored through the origin: it grows each frame.
        const float before = (d.boxMax - d.boxMin).length();
        QVERIFY((item.prepareFrame().boxMax - item.prepareFrame().boxMin).length() > before);

        // Running parameters add the inner circle at the origin and the outer one at its offset.
        QVERIFY(decider->deserialize(parameterPacket(40, 60, QVector3D(1, 2, 3))));
        QCOMPARE(decider->status(), WrappedDecider::DeciderStatus_Running);
        feed(*decider, 20);
        d = item.prepareFrame();
        QCOMPARE(int(d.circles.size()), 2);
        QCOMPARE(d.circles[0], QVector4D(0, 0, 0, 40));
        QCOMPARE(d.circles[1], QVector4D(1, 2, 3, 60));
        QCOMPARE(int(d.points.size()), 320);

        // The decider may go first.
        delete decider;
        QCOMPARE(item.source(), nullptr);
        QCOMPARE(int(item.prepareFrame().points.size()), 1);
    }

    void firstTurnFromStraightDownKeepsThePicture()
    {
        auto *item = new SoftwareRenderer;
        item->setInteractive(true);
        item->setEyeVector(QVector3D(0, 0, 1));
        ItemWindow window(item, QSize(400, 400));
        QVERIFY(window.exposed());
        QTest::mousePress(window.window(), Qt::LeftButton, {}, QPoint(200, 200));
        QTest::mouseMove(window.window(), QPoint(200, 190));
        QTest::mouseRelease(window.window(), Qt::LeftButton, {}, QPoint(200, 190));
        const QVector3D eye = item->eyeVector();
        QVERIFY(std::isfinite(eye.x()) && std::isfinite(eye.y()) && std::isfinite(eye.z()));
        QVERIFY(eye.z() < 0.99f && eye.z() > 0.9f);
        QVERIFY(std::abs(eye.x()) < 1e-6f && eye.y() < 0);
        // x stays to the right and y up: the picture tilts instead of flipping over.
        const QPointF right = dotCentre(pointAt(QVector3D(0.8f, 0, 0), eye, true), QSize(400, 400));
        const QPointF up = dotCentre(pointAt(QVector3D(0, 0.8f, 0), eye, true), QSize(400, 400));
        QVERIFY(right.x() > 270 && std::abs(right.y() - 200) < 3);
        QVERIFY(up.y() < 130 && std::abs(up.x() - 200) < 3);
    }

    void fullWidthDragTurnsOnce()
    {
        auto *item = new SoftwareRenderer;
        item->setInteractive(true);
        item->setEyeVector(QVector3D(-1, -1, 1).normalized());
        ItemWindow window(item, QSize(300, 300));
        QVERIFY(window.exposed());
        QSignalSpy eyeChanged(item, &SoftwareRenderer::eyeVectorChanged);
        QTest::mousePress(window.window(), Qt::LeftButton, {}, QPoint(10, 150));
        QTest::mouseMove(window.window(), QPoint(20, 150));  // the first move settles the eye's length
        const QVector3D start = item->eyeVector();
        const QVector3D p(0.7f, -0.3f, 0.5f);
        const QPointF before = dotCentre(pointAt(p, start, false), QSize(300, 300));
        for (int x = 30; x <= 170; x += 10)
            QTest::mouseMove(window.window(), QPoint(x, 150));
        const QVector3D half = item->eyeVector();
        QVERIFY(std::abs(half.x() + start.x()) < 1e-3f && std::abs(half.y() + start.y()) < 1e-3f);
        const QPointF halfway = dotCentre(pointAt(p, half, false), QSize(300, 300));
        QVERIFY((halfway - before).manhattanLength() > 20);
        for (int x = 180; x <= 320; x += 10)
            QTest::mouseMove(window.window(), QPoint(x, 150));
        QTest::mouseRelease(window.window(), Qt::LeftButton, {}, QPoint(320, 150));
        const QVector3D end = item->eyeVector();
        QVERIFY((end - start).length() < 1e-4f);
        const QPointF after = dotCentre(pointAt(p, end, false), QSize(300, 300));
        QVERIFY2(
            (after - before).manhattanLength() < 1.0,
            qPrintable(QString("(%1, %2) vs (%3, %4)").arg(after.x()).arg(after.y()).arg(before.x()).arg(before.y())));
        QVERIFY(eyeChanged.count() >= 30);

        // Not interactive: the mouse passes through.
        item->setInteractive(false);
        QTest::mousePress(window.window(), Qt::LeftButton, {}, QPoint(100, 100));
        QTest::mouseMove(window.window(), QPoint(200, 200));
        QTest::mouseRelease(window.window(), Qt::LeftButton, {}, QPoint(200, 200));
        QCOMPARE(item->eyeVector(), end);
    }

    void liveViewDrawsAndSettles()
    {
        auto *decider = new WrappedEllipticalDecider;
        auto *item = new SoftwareRenderer;
        item->setOrthogonal(true);
        item->setEyeVector(QVector3D(0, 0, 1));
        ItemWindow window(item, QSize(300, 300));
        QVERIFY(window.exposed());
        item->setSource(decider);
        feed(*decider, 400);
        QVERIFY(QTest::qWaitFor([&] { return !item->frame().isNull(); }, kDeadlineMs));
        // The zoom eases in over several frames and then stops asking for more.
        QVERIFY(QTest::qWaitFor([&] { return !item->framePending(); }, kDeadlineMs));
        // Settled, the farthest point stands at 70.7 % of the half size from the centre.
        const QImage settled = item->frame();
        double reach = 0;
        for (const QPoint &p :
             pixels(settled, [](const QColor &c) { return c.alpha() > 60 && c.green() > 200 && c.red() < 60; }))
            reach = std::max({reach, std::abs(p.x() + 0.5 - 150), std::abs(p.y() + 0.5 - 150)});
        QVERIFY2(std::abs(reach - 0.70710677 * 150) < 8, qPrintable(QString::number(reach)));
        feed(*decider, 10);
        QVERIFY(item->framePending());
        QVERIFY(QTest::qWaitFor([&] { return !item->framePending(); }, kDeadlineMs));
        item->setSource(nullptr);
        delete decider;
    }
};

QTEST_MAIN(SoftwareRendererTest)
#include "SoftwareRendererTest.moc"
