// The painted items' hot paths next to baselines measured in the same run: one full-size image
// blit (the least any paint of a cached item does) and one full-size fill. The GUI-thread paint
// of a bar graph while hovering must stay a small multiple of the blit; the background renders
// are reported as they are.
#include "items/BarGraph.h"
#include "items/LabelledPoint.h"
#include "render/BarGraphRenderer.h"
#include "render/LineGraphRenderer.h"
#include "render/SceneRenderer.h"

#include <benchmark/benchmark.h>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cmath>
#include <memory>
#include <random>

namespace {
const QSize kGraphSize(1200, 400);
const QSize kViewSize(400, 400);

QImage blank(QSize size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

DataSeriesVectorPtr millionBins()
{
    static DataSeriesVectorPtr bins = [] {
        auto v = std::make_shared<std::vector<double>>(1000000);
        std::mt19937 rng(5);
        std::poisson_distribution<int> pulses(4);
        for (double &x : *v)
            x = pulses(rng);
        return v;
    }();
    return bins;
}

void BM_BaselineBlit(benchmark::State &state)
{
    const QImage source = [] {
        QImage i = blank(kGraphSize);
        i.fill(QColor(10, 200, 180, 200));
        return i;
    }();
    QImage target = blank(kGraphSize);
    QPainter painter(&target);
    for (auto _ : state) {
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(QRectF(QPointF(0, 0), QSizeF(kGraphSize)), source);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
}
BENCHMARK(BM_BaselineBlit)->Unit(benchmark::kMicrosecond);

void BM_BaselineFill(benchmark::State &state)
{
    QImage target = blank(kGraphSize);
    QPainter painter(&target);
    for (auto _ : state)
        painter.fillRect(target.rect(), QColor(10, 200, 180, 200));
}
BENCHMARK(BM_BaselineFill)->Unit(benchmark::kMicrosecond);

// What the GUI thread does per frame while the pointer moves over a million bars: blit the
// cache, highlight the column, draw the header and footer boxes.
void BM_BarGraphHoverPaintMillionBars(benchmark::State &state)
{
    BarGraph graph;
    graph.setSize(QSizeF(kGraphSize));
    graph.setMaxX(1000000);
    graph.setMaxY(16);
    graph.setDataPoints(millionBins());
    QImage cache = blank(kGraphSize);
    {
        QPainter p(&cache);
        graph.paintBackground(&p);
    }
    graph.updateBackgroundCache(cache);
    graph.setBarHoveredHeader(QStringLiteral("12.3 L in 1.00 mins\n(\u2248 12.3 L/min)"));
    graph.setBarHoveredFooter(QStringLiteral("2024-05-01 10:11:12"));
    QImage target = blank(kGraphSize);
    QPainter painter(&target);
    qint64 index = 0;
    for (auto _ : state) {
        graph.setBarHoveredIndex(index);
        index = (index + 7919) % 1000000;
        graph.paint(&painter);
    }
    state.counters["cache_MB"] = double(graph.backgroundCache().sizeInBytes()) / 1e6;
    // The series is shared with the snapshot, never copied: only the caller and the item hold it.
    state.counters["series_owners"] = double(millionBins().use_count() - 1);
}
BENCHMARK(BM_BarGraphHoverPaintMillionBars)->Unit(benchmark::kMicrosecond);

// The background job of that graph: frame plus one million bars into a fresh image.
void BM_BarGraphBackgroundMillionBars(benchmark::State &state)
{
    BarGraphRenderer::Data d;
    d.axes.maxX = 1000000;
    d.axes.maxY = 16;
    d.axes.tickMarksX = 10;
    d.axes.labelX = QStringLiteral("Time");
    d.values = millionBins();
    for (auto _ : state) {
        QImage image = blank(kGraphSize);
        QPainter painter(&image);
        BarGraphRenderer::draw(painter, QRectF(QPointF(0, 0), QSizeF(kGraphSize)), d);
    }
}
BENCHMARK(BM_BarGraphBackgroundMillionBars)->Unit(benchmark::kMillisecond);

void BM_LineGraphBackground100kPoints(benchmark::State &state)
{
    LineGraphRenderer::Data d;
    auto points = std::make_shared<std::vector<QPointF>>(100000);
    for (size_t i = 0; i < points->size(); ++i)
        (*points)[i] = QPointF(double(i) / 10.0, 2.0 + std::sin(double(i) / 300.0) + 0.3 * std::sin(double(i)));
    d.points = points;
    d.axes.maxX = 10000;
    d.axes.maxY = 4;
    d.fillColor = QColor(0, 255, 0, 60);
    d.labelledPoints.push_back(
        {QPointF(9999.9, 2.0), QStringLiteral("now"), QStringLiteral("2.0"), LabelledPoint::PointType_Solid, true});
    for (auto _ : state) {
        QImage image = blank(kGraphSize);
        QPainter painter(&image);
        LineGraphRenderer::draw(painter, QRectF(QPointF(0, 0), QSizeF(kGraphSize)), d);
    }
}
BENCHMARK(BM_LineGraphBackground100kPoints)->Unit(benchmark::kMillisecond);

// One frame of the 3-D view at its busiest: 512 points, two circles, a hull of 64 corners,
// three grid planes and three axes.
void BM_SoftwareRendererFrame512(benchmark::State &state)
{
    SceneRenderer::Data d;
    std::mt19937 rng(9);
    std::normal_distribution<float> noise(0.f, 1.5f);
    for (int i = 0; i < 512; ++i) {
        const float a = float(i) * 0.07f;
        d.points.emplace_back(40.f * std::cos(a) + noise(rng), 25.f * std::sin(a) + noise(rng), 5.f * std::sin(2 * a));
        d.intensities.push_back(uint8_t((i * 37) % 256));
    }
    d.circles.emplace_back(0.f, 0.f, 0.f, 30.f);
    d.circles.emplace_back(1.f, -2.f, 3.f, 45.f);
    for (int i = 0; i < 64; ++i)
        d.hull.emplace_back(38.0 * std::cos(i * 0.098), 23.0 * std::sin(i * 0.098));
    d.boxMin = QVector3D(-46, -46, -46);
    d.boxMax = QVector3D(46, 46, 46);
    d.eye = QVector3D(-1, -1, 1).normalized();
    d.orthogonal = state.range(0) != 0;
    d.zoom = d.orthogonal ? 0.012f : 2.0f;
    if (d.orthogonal)
        d.eye = QVector3D(0, 0, 1);
    for (auto _ : state) {
        QImage image = blank(kViewSize);
        QPainter painter(&image);
        benchmark::DoNotOptimize(SceneRenderer::draw(painter, QRectF(QPointF(0, 0), QSizeF(kViewSize)), d));
    }
}
BENCHMARK(BM_SoftwareRendererFrame512)->Arg(0)->Arg(1)->ArgName("orthogonal")->Unit(benchmark::kMillisecond);
}  // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
