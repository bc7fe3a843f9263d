#pragma once

#include "CustomerReport.h"

#include <QString>

class QIODevice;
class QPainter;
class QRectF;

// Draws the customer report into a PDF: page 1 the header, the summary with its verdict and
// the daily totals; page 2 the average use by hour of day, the night flow per night and the
// continuous-flow stretches. The charts are the painted items' bar renderers in dark ink.
class CustomerReportPdf
{
public:
    enum class Page { Letter, A4 };

    // Writes the file whole or not at all (an earlier file stays as it was on failure); a
    // summary that CustomerReport::refusal() turns down writes nothing.
    static bool write(const CustomerReport::Summary &summary, const QString &fileName, Page page, QString *error);
    // The document into any device; false when the painter could not start on it.
    static bool render(const CustomerReport::Summary &summary, QIODevice *device, Page page);

    static bool parsePage(const QString &name, Page *page);

private:
    static double drawHeader(QPainter &p, const QRectF &area, const CustomerReport::Summary &s);
    static double drawSummary(QPainter &p, const QRectF &area, const CustomerReport::Summary &s);
    static double drawDailyChart(QPainter &p, const QRectF &area, const CustomerReport::Summary &s);
    static double drawHourChart(QPainter &p, const QRectF &area, const CustomerReport::Summary &s);
    static double drawNightChart(QPainter &p, const QRectF &area, const CustomerReport::Summary &s);
    static double drawLeakList(QPainter &p, const QRectF &area, const CustomerReport::Summary &s);
    static void drawFooter(QPainter &p, const QRectF &area, const CustomerReport::Summary &s, int page, int pages);
};
