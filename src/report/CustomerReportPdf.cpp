#include "CustomerReportPdf.h"

#include "render/BarGraphRenderer.h"
#include "render/ItemStyle.h"

#include <QBuffer>
#include <QDateTime>
#include <QFontMetricsF>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace {
using Summary = CustomerReport::Summary;

// One device pixel is one point: the layout below is in points.
constexpr int kResolution = 72;
constexpr double kMargin = 42;
constexpr int kBodyPx = 10;
constexpr int kTitlePx = 20;
constexpr int kSectionPx = 12;
constexpr double kChartHeight = 200;
const QColor kInk(33, 33, 33);
const QColor kMuted(110, 110, 110);
const QColor kBar(0, 121, 107);
const QColor kPartialBar(176, 190, 197);
const QColor kLeak(211, 47, 47);
const QColor kLeakBand(229, 57, 53, 60);
const QColor kQuiet(46, 125, 50);

QFont font(int px, bool bold = false)
{
    QFont f = ItemStyle::font(ItemStyle::defaultFontFamily(), px, bold ? ItemStyle::kBoldWeight : QFont::Normal);
    // No ligatures: the text layer must read back as the words were written ("fi", not U+FB01).
    f.setStyleStrategy(QFont::PreferNoShaping);
    return f;
}

// One line of text with its top at `y`; returns the line's height.
double text(QPainter &p, double x, double y, const QString &t, const QFont &f, const QColor &c = kInk)
{
    p.setFont(f);
    p.setPen(c);
    const QFontMetricsF fm(f);
    p.drawText(QPointF(x, y + fm.ascent()), t);
    return fm.lineSpacing();
}

// 1, 2 or 5 times a power of ten, at least `v` (1 for nothing).
double niceCeiling(double v)
{
    if (!(v > 0) || !std::isfinite(v))
        return 1;
    const double p = std::pow(10.0, std::floor(std::log10(v)));
    for (double m : {1.0, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 8.0, 10.0}) {
        if (m * p >= v * (1 - 1e-12))
            return m * p;
    }
    return 10 * p;
}

QString axisNumber(double v)
{
    return CustomerReport::number(v, v >= 10 || v == 0 ? 0 : v >= 1 ? 1 : 3);
}

GraphAxesRenderer::Data chartAxes(const QString &labelX, const QString &labelY, const QStringList &ends, size_t bars,
                                  double maxY)
{
    GraphAxesRenderer::Data a;
    a.minX = 0;
    a.maxX = double(std::max<size_t>(bars, 1));
    a.minY = 0;
    a.maxY = niceCeiling(maxY * 1.05);
    a.tickMarksX = int(std::min<size_t>(bars, 400));
    a.tickMarksY = 4;
    a.labelX = labelX;
    a.labelY = labelY;
    a.axisLabelsX = ends;
    a.axisLabelsY = QStringList{axisNumber(0), axisNumber(a.maxY)};
    a.rangeLabelPixelSize = 11;
    a.labelPixelSize = 10;
    a.axisPenWidth = 1;
    a.tickLength = 6;
    a.strokeColor = kInk;
    return a;
}

void bars(QPainter &p, const QRectF &r, const GraphAxesRenderer::Data &axes, std::vector<double> values,
          const QColor &colour)
{
    BarGraphRenderer::Data d;
    d.axes = axes;
    d.barColor = colour;
    d.values = std::make_shared<std::vector<double>>(std::move(values));
    BarGraphRenderer::draw(p, r, d);
}

double sectionTitle(QPainter &p, const QRectF &area, const QString &title)
{
    return text(p, area.left(), area.top(), title, font(kSectionPx, true)) + 4;
}
}  // namespace

bool CustomerReportPdf::parsePage(const QString &name, Page *page)
{
    if (name.compare(QLatin1String("letter"), Qt::CaseInsensitive) == 0)
        *page = Page::Letter;
    else if (name.compare(QLatin1String("a4"), Qt::CaseInsensitive) == 0)
        *page = Page::A4;
    else
        return false;
    return true;
}

namespace {
// The PDF engine stamps the time of writing; the report is dated by the end of its period
// instead, so the same log and options give the same bytes on every run. The stamp is replaced
// in place by one of the same length, which keeps the file's cross-reference offsets.
void dateByPeriod(QByteArray *pdf, CustomerReport::NanosI64 end)
{
    // "/CreationDate (D:yyyyMMddHHmmss+hh'mm')"
    static const QByteArray key("/CreationDate (D:");
    const int at = pdf->indexOf(key);
    constexpr int kStampLength = 22;  // digits, sign, offset, closing parenthesis
    if (at < 0 || at + key.size() + kStampLength > pdf->size() || pdf->at(at + key.size() + kStampLength - 1) != ')')
        return;
    const QByteArray stamp =
        QDateTime::fromMSecsSinceEpoch(end / 1000000, Qt::UTC).toString(QStringLiteral("yyyyMMddHHmmss")).toLatin1() +
        "+00'00')";
    if (stamp.size() == kStampLength)
        pdf->replace(at + key.size(), kStampLength, stamp);
}
}  // namespace

bool CustomerReportPdf::write(const Summary &summary, const QString &fileName, Page page, QString *error)
{
    *error = CustomerReport::refusal(summary);
    if (!error->isEmpty())
        return false;
    QByteArray pdf;
    QBuffer buffer(&pdf);
    buffer.open(QIODevice::WriteOnly);
    if (!render(summary, &buffer, page)) {
        *error = QStringLiteral("cannot draw the report for %1").arg(fileName);
        return false;
    }
    buffer.close();
    dateByPeriod(&pdf, summary.end);
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(pdf) != pdf.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(fileName, file.errorString());
        return false;
    }
    return true;
}

bool CustomerReportPdf::render(const Summary &s, QIODevice *device, Page page)
{
    QPdfWriter writer(device);
    writer.setResolution(kResolution);
    writer.setPageSize(QPageSize(page == Page::A4 ? QPageSize::A4 : QPageSize::Letter));
    writer.setPageMargins(QMarginsF(kMargin, kMargin, kMargin, kMargin), QPageLayout::Point);
    writer.setTitle(QStringLiteral("Water use report %1").arg(s.serial));
    writer.setCreator(QStringLiteral("Tarrowind Utility"));
    QPainter p;
    if (!p.begin(&writer))
        return false;
    p.setRenderHint(QPainter::Antialiasing, true);
    const QRectF area(0, 0, writer.width(), writer.height());
    const double footer = QFontMetricsF(font(kBodyPx - 1)).lineSpacing() + 6;
    const QRectF body = area.adjusted(0, 0, 0, -footer);

    double y = body.top();
    y += text(p, body.left(), y, QStringLiteral("Water Use Report"), font(kTitlePx, true)) + 6;
    y += drawHeader(p, QRectF(body.left(), y, body.width(), body.bottom() - y), s) + 10;
    y += drawSummary(p, QRectF(body.left(), y, body.width(), body.bottom() - y), s) + 14;
    drawDailyChart(p, QRectF(body.left(), y, body.width(), std::min(1.5 * kChartHeight, body.bottom() - y)), s);
    drawFooter(p, area, s, 1, 2);

    writer.newPage();
    y = body.top();
    y += drawHourChart(p, QRectF(body.left(), y, body.width(), kChartHeight + 30), s) + 16;
    y += drawNightChart(p, QRectF(body.left(), y, body.width(), kChartHeight + 30), s) + 16;
    drawLeakList(p, QRectF(body.left(), y, body.width(), body.bottom() - y), s);
    drawFooter(p, area, s, 2, 2);
    return p.end();
}

double CustomerReportPdf::drawHeader(QPainter &p, const QRectF &area, const Summary &s)
{
    const QFont label = font(kBodyPx, true), value = font(kBodyPx);
    const QFontMetricsF fm(value);
    const double half = area.width() / 2;
    // Left the logger and its meter, right the site; the period below both.
    QStringList logger{
        QStringLiteral("Logger serial: %1").arg(s.serial.isEmpty() ? QStringLiteral("unknown") : s.serial)};
    if (!s.deviceName.isEmpty())
        logger << QStringLiteral("Device name: %1").arg(s.deviceName);
    if (!s.meterUnit.isEmpty())
        logger << QStringLiteral("Meter unit: %1").arg(s.meterUnit);
    if (!s.readingStart.isEmpty() || !s.readingEnd.isEmpty())
        logger << QStringLiteral("Meter readings: %1 at start, %2 at end of log")
                      .arg(s.readingStart.isEmpty() ? QStringLiteral("none") : s.readingStart,
                           s.readingEnd.isEmpty() ? QStringLiteral("none") : s.readingEnd);
    const QStringList site = s.site.isEmpty() ? QStringList{QStringLiteral("no site details in the log")} : s.site;
    double left = area.top(), right = area.top();
    left += text(p, area.left(), left, QStringLiteral("Logger"), label);
    right += text(p, area.left() + half, right, QStringLiteral("Site"), label);
    for (const QString &line : logger)
        left += text(p, area.left(), left, fm.elidedText(line, Qt::ElideRight, half - 8), value);
    for (const QString &line : site)
        right += text(p, area.left() + half, right, fm.elidedText(line, Qt::ElideRight, half), value);
    double y = std::max(left, right) + 4;
    y += text(p, area.left(), y, QStringLiteral("Period: %1").arg(CustomerReport::periodText(s)), label);
    return y - area.top();
}

double CustomerReportPdf::drawSummary(QPainter &p, const QRectF &area, const Summary &s)
{
    double y = area.top() + sectionTitle(p, area, QStringLiteral("Summary"));
    const QFont label = font(kBodyPx + 1, true), value = font(kBodyPx + 1);
    const double column = 150;
    auto row = [&](const QString &name, const QString &figure) {
        text(p, area.left(), y, name, label);
        y += text(p, area.left() + column, y, figure, value);
    };
    if (!s.volume)
        y += text(p, area.left(), y, QStringLiteral("No meter readings: figures in revolutions"), value, kMuted);
    row(s.volume ? QStringLiteral("Total volume") : QStringLiteral("Total"), CustomerReport::totalText(s));
    row(QStringLiteral("Average per day"), CustomerReport::averagePerDayText(s));
    row(QStringLiteral("Highest day"), CustomerReport::highestDayText(s));
    row(QStringLiteral("Lowest night-flow hour"), CustomerReport::lowestNightText(s));
    y += 6;
    // The verdict stays on one line: the font shrinks until it fits.
    const QString verdict = CustomerReport::verdict(s);
    int px = kSectionPx + 1;
    while (px > 6 && QFontMetricsF(font(px, true)).horizontalAdvance(verdict) > area.width())
        --px;
    y += text(p, area.left(), y, verdict, font(px, true), CustomerReport::leakFound(s) ? kLeak : kQuiet);
    return y - area.top();
}

double CustomerReportPdf::drawDailyChart(QPainter &p, const QRectF &area, const Summary &s)
{
    double y = area.top() + sectionTitle(p, area, QStringLiteral("Daily totals"));
    const auto &days = s.dailyTotals;
    std::vector<double> all, complete;
    double top = 0;
    for (const auto &d : days) {
        const double v = double(d.pulses) * s.unitsPerPulse;
        all.push_back(v);
        complete.push_back(d.complete ? v : 0.0);
        top = std::max(top, v);
    }
    const QStringList ends = days.empty() ? QStringList()
                                          : QStringList{days.front().date.toString(QStringLiteral("MM-dd")),
                                                        days.back().date.toString(QStringLiteral("MM-dd"))};
    const QString unit = s.volume ? s.unit : QStringLiteral("Revolutions");
    const auto axes =
        chartAxes(QStringLiteral("Local date"), unit + QStringLiteral(" per day"), ends, days.size(), top);
    const QRectF chart(area.left(), y, area.width(), area.bottom() - y - 16);
    bars(p, chart, axes, all, kPartialBar);
    bars(p, chart, axes, complete, kBar);

    // Continuous-flow stretches as red bands over the days they cover.
    const QRectF barArea = BarGraphRenderer::barArea(chart, axes);
    const auto position = [&](CustomerReport::NanosI64 t) {
        for (size_t i = 0; i < days.size(); ++i) {
            if (t < days[i].end)
                return double(i) + std::max(0.0, double(t - days[i].start) / double(days[i].end - days[i].start));
        }
        return double(days.size());
    };
    if (!days.empty()) {
        for (const auto &leak : s.analysis.leaks) {
            const double x0 = barArea.left() + barArea.width() * position(leak.start) / double(days.size());
            const double x1 = barArea.left() + barArea.width() * position(leak.end) / double(days.size());
            p.fillRect(QRectF(x0, barArea.top(), std::max(x1 - x0, 1.0), barArea.height()), kLeakBand);
        }
    }
    text(p, area.left(), chart.bottom() + 2,
         QStringLiteral(
             "Grey: a day only partly in the period. Red band: water ran without a break for 24 hours or more."),
         font(kBodyPx - 1), kMuted);
    return area.height();
}

double CustomerReportPdf::drawHourChart(QPainter &p, const QRectF &area, const Summary &s)
{
    double y = area.top() + sectionTitle(p, area, QStringLiteral("Average use by hour of day"));
    std::vector<double> values;
    double top = 0;
    for (int h = 0; h < 24; ++h) {
        values.push_back(s.hourOfDay[h] * s.unitsPerPulse);
        top = std::max(top, values.back());
    }
    const QString unit = s.volume ? s.unit : QStringLiteral("Revolutions");
    const auto axes = chartAxes(QStringLiteral("Hour of day (local time)"), unit + QStringLiteral(" per hour"),
                                {QStringLiteral("00:00"), QStringLiteral("24:00")}, values.size(), top);
    bars(p, QRectF(area.left(), y, area.width(), area.bottom() - y), axes, values, kBar);
    return area.height();
}

double CustomerReportPdf::drawNightChart(QPainter &p, const QRectF &area, const Summary &s)
{
    double y = area.top() + sectionTitle(p, area, QStringLiteral("Night flow (lowest hour from 00:00 to 05:00)"));
    const auto &nights = s.analysis.nights;
    if (nights.empty()) {
        text(p, area.left(), y, QStringLiteral("No complete night in the period."), font(kBodyPx), kMuted);
        return area.height();
    }
    std::vector<double> all, leaking;
    double top = 0;
    for (const auto &n : nights) {
        const double v = CustomerReport::nightFlowValue(s, n.minimumPulses);
        all.push_back(v);
        leaking.push_back(n.leak ? v : 0.0);
        top = std::max(top, v);
    }
    const QStringList ends{nights.front().date.toString(QStringLiteral("MM-dd")),
                           nights.back().date.toString(QStringLiteral("MM-dd"))};
    const auto axes = chartAxes(QStringLiteral("Night (red: in a continuous-flow stretch)"),
                                CustomerReport::nightFlowUnit(s), ends, nights.size(), top);
    const QRectF chart(area.left(), y, area.width(), area.bottom() - y);
    bars(p, chart, axes, all, kBar);
    bars(p, chart, axes, leaking, kLeak);
    return area.height();
}

double CustomerReportPdf::drawLeakList(QPainter &p, const QRectF &area, const Summary &s)
{
    double y = area.top() + sectionTitle(p, area, QStringLiteral("Continuous flow of 24 hours or more"));
    const QFont body = font(kBodyPx);
    if (s.analysis.leaks.empty())
        y += text(p, area.left(), y, QStringLiteral("None in the period."), body);
    for (const auto &leak : s.analysis.leaks) {
        if (y > area.bottom())
            break;
        y += text(p, area.left(), y,
                  QStringLiteral("From %1 to %2: %3 hours")
                      .arg(CustomerReport::localMinutes(leak.start), CustomerReport::localMinutes(leak.end))
                      .arg((leak.end - leak.start) / NightFlowAnalysis::kHourNs),
                  body, kLeak);
    }
    return y - area.top();
}

void CustomerReportPdf::drawFooter(QPainter &p, const QRectF &area, const Summary &s, int page, int pages)
{
    const QFont f = font(kBodyPx - 1);
    const double y = area.bottom() - QFontMetricsF(f).lineSpacing();
    p.setPen(QPen(kPartialBar, 0.5));
    p.drawLine(QPointF(area.left(), y - 3), QPointF(area.right(), y - 3));
    text(p, area.left(), y,
         QStringLiteral("Logger serial %1").arg(s.serial.isEmpty() ? QStringLiteral("unknown") : s.serial), f, kMuted);
    const QString right = QStringLiteral("Page %1 of %2").arg(page).arg(pages);
    text(p, area.right() - QFontMetricsF(f).horizontalAdvance(right), y, right, f, kMuted);
}
