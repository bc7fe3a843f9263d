#include "ImageProbe.h"
#include "items/BarGraph.h"
#include "items/LabelledPoint.h"
#include "items/LineGraph.h"
#include "ItemWindow.h"
#include "render/BackgroundTask.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QMetaProperty>
#include <QPainter>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {
constexpr int kDeadlineMs = 60000;

bool waitCached(GraphAxes *item)
{
    return QTest::qWaitFor([item] { return !item->cacheDirty() && !item->backgroundRendering(); }, kDeadlineMs);
}

DataSeriesVectorPtr series(size_t n, double scale)
{
    auto v = std::make_shared<std::vector<double>>(n);
    for (size_t i = 0; i < n; ++i)
        (*v)[i] = scale * (1.0 + std::sin(double(i) * 0.37)) / 2.0;
    return v;
}

// A value of the property's type that any renderer that honours the property draws
// differently. A property of a type without an entry here fails: decide how it is drawn.
QVariant perturbed(const QMetaProperty &property, const QVariant &value, QObject *owner)
{
    const QByteArray name = property.name();
    const int type = property.userType();
    if (name == "fontName") {
        const QString resolved = QFontInfo(QFont(value.toString())).family();
        for (const QString &family : QFontDatabase().families())
            if (QFontInfo(QFont(family)).family() != resolved)
                return family;
        return QVariant();
    }
    switch (type) {
    case QMetaType::Double: {
        const double v = value.toDouble();
        return v < 0 ? 3.0 : v * 0.5 + 0.25;
    }
    case QMetaType::Int: {
        const int v = value.toInt();
        return v <= 0 ? 80 : v + 3;
    }
    case QMetaType::LongLong:
        return value.toLongLong() + 3;
    case QMetaType::Bool:
        return !value.toBool();
    case QMetaType::QString:
        return value.toString() + QStringLiteral("Wq");
    case QMetaType::QColor: {
        const QColor c = value.value<QColor>();
        return QColor(255 - c.red(), 255 - c.green(), 255 - c.blue(), std::max(c.alpha(), 200));
    }
    case QMetaType::QStringList:
        return value.toStringList() + QStringList{"Wq", "Zz"};
    case QMetaType::QVariantList: {
        QVariantList points;
        for (const QVariant &p : value.toList())
            points.append(QPointF(p.toPointF().x(), p.toPointF().y() * 0.5));
        return points;
    }
    default:
        break;
    }
    if (type == qMetaTypeId<QList<QObject *>>()) {
        auto *point = new LabelledPoint(owner);
        point->setPoint(QPointF(2, 0.2));
        point->setText(QStringLiteral("added"));
        return QVariant::fromValue(QList<QObject *>{point});
    }
    if (type == qMetaTypeId<DataSeriesVectorPtr>())
        return QVariant::fromValue(series(40, 0.4));
    return QVariant();
}

// Every writable property of the graph either changes the cached image once the background
// job has rendered it, or is one of the named live (overlay) or behaviour properties, which
// must not cost a re-render.
void everyDrawnPropertyReachesTheCache(GraphAxes *item, const QSet<QByteArray> &live, const QSet<QByteArray> &behaviour)
{
    ItemWindow window(item);
    QVERIFY(window.exposed());
    QVERIFY(waitCached(item));
    QObject owner;
    const QMetaObject *meta = item->metaObject();
    int drawn = 0;
    for (int i = GraphAxes::staticMetaObject.propertyOffset(); i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        const QByteArray name = property.name();
        if (!property.isWritable() || behaviour.contains(name))
            continue;
        QVariant old = property.read(item);
        if (property.userType() == qMetaTypeId<QList<QObject *>>()) {
            // The graph deletes the objects it hands out when the list is replaced: keep copies.
            QList<QObject *> copies;
            for (QObject *o : old.value<QList<QObject *>>())
                copies.append(qobject_cast<LabelledPoint *>(o)->clone(&owner));
            old = QVariant::fromValue(copies);
        }
        const QVariant changed = perturbed(property, old, &owner);
        QVERIFY2(changed.isValid(), "no test value for " + name + " of type " + property.typeName());
        const QImage before = item->backgroundCache();
        QVERIFY2(property.write(item, changed), name);
        if (live.contains(name)) {
            QVERIFY2(!item->cacheDirty(), name + " is drawn live and needs no new background");
        } else {
            QVERIFY2(item->cacheDirty(), name + " did not invalidate the cache");
            QVERIFY(waitCached(item));
            QVERIFY2(item->backgroundCache() != before, name + " is not drawn by the background job");
            ++drawn;
        }
        QVERIFY(property.write(item, old));
        QVERIFY(waitCached(item));
    }
    QVERIFY(drawn >= 24);
}

const QSet<QByteArray> kSelectionLive = {"selectionEnabled",    "selectionStart",    "selectionEnd",   "selectionColor",
                                         "selectionStartLabel", "selectionEndLabel", "selectionHeader"};

void frame(GraphAxes *item)
{
    item->setTickMarksX(5);
    item->setTickMarksY(4);
    item->setLabelX(QStringLiteral("Time"));
    item->setLabelY(QStringLiteral("Value"));
}
}  // namespace

class BackgroundRenderTest : public QObject
{
    Q_OBJECT

private slots:
    void axesPropertiesReachTheCache()
    {
        auto *item = new GraphAxes;
        frame(item);
        everyDrawnPropertyReachesTheCache(item, kSelectionLive, {});
    }

    void lineGraphPropertiesReachTheCache()
    {
        auto *graph = new LineGraph;
        frame(graph);
        graph->setMaxX(10);
        QVariantList points;
        for (int i = 0; i <= 50; ++i)
            points.append(QPointF(i * 0.2, 0.5 + 0.4 * std::sin(i * 0.2)));
        graph->setDataPoints(points);
        LabelledPoint flag;
        flag.setPoint(QPointF(5, 0.5));
        flag.setText(QStringLiteral("now"));
        flag.setValueText(QStringLiteral("1.5"));
        flag.setPointType(LabelledPoint::PointType_Flag);
        graph->setLabelledPoints({&flag});
        everyDrawnPropertyReachesTheCache(graph, kSelectionLive,
                                          {"autoUpdateXMin", "autoUpdateXMax", "autoUpdateYMin", "autoUpdateYMax"});
    }

    void barGraphPropertiesReachTheCache()
    {
        auto *graph = new BarGraph;
        frame(graph);
        graph->setMaxX(60);
        graph->setDataPoints(series(60, 1.0));
        everyDrawnPropertyReachesTheCache(
            graph, kSelectionLive + QSet<QByteArray>{"barHoveredIndex", "barHoveredHeader", "barHoveredFooter"}, {});
    }

    // Changes that arrive while a render is under way are folded into one more render of the
    // newest state; the cache then shows exactly that state.
    void changesDuringARenderFoldIntoOne()
    {
        auto *graph = new BarGraph;
        graph->setMaxX(2000000);
        graph->setDataPoints(series(2000000, 1.0));
        QSignalSpy finished(graph, &GraphAxes::backgroundRenderFinished);
        ItemWindow window(graph);
        QVERIFY(window.exposed());
        QVERIFY(QTest::qWaitFor([&] { return graph->backgroundRendering(); }, kDeadlineMs));
        // No events run from here until the wait: the job's result cannot arrive in between.
        for (int i = 0; i < 10; ++i)
            graph->setBarColor(QColor(20 * i, 100, 200));
        QVERIFY(waitCached(graph));
        QCOMPARE(finished.count(), 2);

        QImage direct(graph->backgroundCache().size(), QImage::Format_ARGB32_Premultiplied);
        direct.fill(Qt::transparent);
        {
            QPainter painter(&direct);
            BarGraphRenderer::draw(painter, QRectF(0, 0, graph->width(), graph->height()), graph->snapshot());
        }
        QCOMPARE(graph->backgroundCache(), direct);
    }

    // A render for the old size is dropped at once when the item is resized.
    void resizeDropsTheRenderUnderWay()
    {
        auto *graph = new BarGraph;
        graph->setMaxX(2000000);
        graph->setDataPoints(series(2000000, 1.0));
        QSignalSpy finished(graph, &GraphAxes::backgroundRenderFinished);
        ItemWindow window(graph);
        QVERIFY(window.exposed());
        QVERIFY(QTest::qWaitFor([&] { return graph->backgroundRendering(); }, kDeadlineMs));
        finished.clear();
        graph->setSize(QSizeF(300, 200));
        QVERIFY(waitCached(graph));
        QVERIFY(finished.count() >= 1);
        for (const QList<QVariant> &args : finished)
            QCOMPARE(args.at(0).value<QImage>().size(), QSize(300, 200));
        QCOMPARE(graph->backgroundCache().size(), QSize(300, 200));
    }

    void itemMayGoWhileItsRenderRuns()
    {
        auto *graph = new LineGraph;
        std::vector<QPointF> points(300000);
        for (size_t i = 0; i < points.size(); ++i)
            points[i] = QPointF(double(i), std::sin(double(i) * 0.01));
        graph->setAutoUpdateXMax(true);
        graph->setAutoUpdateYMin(true);
        graph->setDataPointsNative(points);
        {
            ItemWindow window(graph);
            QVERIFY(window.exposed());
            QVERIFY(QTest::qWaitFor([&] { return graph->backgroundRendering(); }, kDeadlineMs));
            delete graph;
        }
        QVERIFY(QThreadPool::globalInstance()->waitForDone(kDeadlineMs));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void cancelledWorkNeverReports()
    {
        QObject owner;
        std::vector<int> delivered;
        BackgroundTask<int> task(&owner, [&](int v) { delivered.push_back(v); });
        std::atomic_bool sawCancel{false};
        task.start([&](const std::atomic_bool &cancelled) {
            while (!cancelled)
                QThread::msleep(1);
            sawCancel = true;
            return 1;
        });
        QVERIFY(task.running());
        task.start([](const std::atomic_bool &) { return 2; });
        QVERIFY(QTest::qWaitFor([&] { return sawCancel && !task.running(); }, kDeadlineMs));
        QVERIFY(QThreadPool::globalInstance()->waitForDone(kDeadlineMs));
        QCoreApplication::processEvents();
        QCOMPARE(delivered, std::vector<int>{2});

        // The owner's end cancels too.
        auto *gone = new QObject;
        std::atomic_bool stopped{false};
        {
            BackgroundTask<int> orphan(gone, [&](int v) { delivered.push_back(v); });
            orphan.start([&](const std::atomic_bool &cancelled) {
                while (!cancelled)
                    QThread::msleep(1);
                stopped = true;
                return 3;
            });
        }
        delete gone;
        QVERIFY(QTest::qWaitFor([&] { return stopped.load(); }, kDeadlineMs));
        QVERIFY(QThreadPool::globalInstance()->waitForDone(kDeadlineMs));
        QCoreApplication::processEvents();
        QCOMPARE(delivered, std::vector<int>{2});
    }
};

QTEST_MAIN(BackgroundRenderTest)
#include "BackgroundRenderTest.moc"
