// Loads a QML scene with every painted item through the program's own type registration,
// renders it offscreen and saves the screenshot (items-scene.png in the working folder, or
// the path in TW_SCENE_PNG) for a look; checks that each item drew something.
#include "app/AppMetatypes.h"
#include "app/QmlRegistration.h"
#include "decider/WrappedEllipticalDecider.h"
#include "items/BarGraph.h"
#include "items/Gauge.h"
#include "items/LineGraph.h"
#include "items/SoftwareRenderer.h"

#include <QQuickItem>
#include <QQuickItemGrabResult>
#include <QQuickView>
#include <QtTest>

#include <cmath>

namespace {
constexpr int kDeadlineMs = 120000;

// A magnet turning two revolutions a second at 400 samples a second, on a tilted ellipse.
void feedMagnet(WrappedEllipticalDecider &decider, int count)
{
    int64_t t = 1700000000LL * 1000000000LL;
    uint32_t noise = 12345;
    for (int i = 0; i < count; ++i) {
        const double a = 2.0 * M_PI * 2.0 * i / 400.0;
        noise = noise * 1664525u + 1013904223u;
        const double n = (double(noise >> 8) / double(1 << 24) - 0.5) * 12.0;
        XyzSampleTimestamped s{};
        s.x = int16_t(std::lround(-300 + 400 * std::cos(a) * 0.0 + 250 * std::sin(a) * 0.95 + n));
        s.y = int16_t(std::lround(-300 + 400 * std::cos(a) * 0.85 - 250 * std::sin(a) * 0.15 - n));
        s.z = int16_t(std::lround(800 + 400 * std::cos(a) * 0.5 + 250 * std::sin(a) * 0.25 + n));
        s.timestamp = t;
        t += 2500000;
        decider.addSample(s);
    }
}

int inkIn(const QImage &image, const QRect &area, QRgb background)
{
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.pixel(x, y) != background)
                ++n;
    return n;
}
}  // namespace

class ItemsSceneTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        registerQmlTypes();
        registerAppMetatypes();
    }

    void everyItemRendersOffscreen()
    {
        QQuickView view;
        view.setResizeMode(QQuickView::SizeViewToRootObject);
        view.setSource(QUrl::fromLocalFile(QStringLiteral(TW_ITEMS_SCENE)));
        QVERIFY2(view.status() == QQuickView::Ready, qPrintable(QString::number(view.errors().size())));
        for (const QQmlError &e : view.errors())
            qWarning() << e.toString();
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QQuickItem *root = view.rootObject();

        auto *decider = root->findChild<WrappedEllipticalDecider *>(QStringLiteral("decider"));
        QVERIFY(decider);
        decider->setAutoCalibrate(true);
        feedMagnet(*decider, 4000);

        auto *bars = root->findChild<BarGraph *>(QStringLiteral("bars"));
        auto *line = root->findChild<LineGraph *>(QStringLiteral("line"));
        QVERIFY(bars && line);
        auto bins = std::make_shared<std::vector<double>>(60);
        for (size_t i = 0; i < bins->size(); ++i)
            (*bins)[i] = 8 + 7 * std::sin(double(i) / 6.0) + (i % 7 == 3 ? 4 : 0);
        bars->setMaxX(60);
        bars->setMaxY(20);
        bars->setDataPoints(bins);
        QCOMPARE(line->labelledPoints().size(), 3);
        QCOMPARE(line->maxX(), 10.0);

        const QList<SoftwareRenderer *> views = root->findChildren<SoftwareRenderer *>();
        QCOMPARE(views.size(), 4);
        QVERIFY(QTest::qWaitFor(
            [&] {
                for (GraphAxes *g : {static_cast<GraphAxes *>(bars), static_cast<GraphAxes *>(line)})
                    if (g->cacheDirty() || g->backgroundRendering() || g->backgroundCache().isNull())
                        return false;
                for (SoftwareRenderer *r : views)
                    if (r->framePending() || r->frame().isNull())
                        return false;
                return true;
            },
            kDeadlineMs));

        // The software scene graph grabs items, not windows.
        const QSharedPointer<QQuickItemGrabResult> grab = root->grabToImage();
        QVERIFY(grab);
        QSignalSpy ready(grab.data(), &QQuickItemGrabResult::ready);
        QVERIFY(ready.count() > 0 || ready.wait(kDeadlineMs));
        const QImage shot = grab->image().convertToFormat(QImage::Format_ARGB32);
        QVERIFY(!shot.isNull());
        const QString path = qEnvironmentVariableIsSet("TW_SCENE_PNG") ? qEnvironmentVariable("TW_SCENE_PNG")
                                                                       : QStringLiteral("items-scene.png");
        QVERIFY(shot.save(path));
        qInfo("screenshot: %s", qPrintable(QFileInfo(path).absoluteFilePath()));

        const QRgb background = shot.pixel(0, 0);
        const QList<QQuickItem *> items = root->findChildren<QQuickItem *>();
        int checked = 0;
        for (QQuickItem *item : items) {
            if (item->objectName().isEmpty())
                continue;
            const QRect area = item->mapRectToScene(QRectF(0, 0, item->width(), item->height())).toRect() & shot.rect();
            QVERIFY2(inkIn(shot, area, background) > area.width() * area.height() / 50,
                     qPrintable(item->objectName() + " drew (almost) nothing"));
            ++checked;
        }
        QCOMPARE(checked, 8);
    }
};

QTEST_MAIN(ItemsSceneTest)
#include "ItemsSceneTest.moc"
