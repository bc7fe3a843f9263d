#pragma once

#include <QColor>
#include <QImage>
#include <QPointF>
#include <QRect>

#include <cmath>
#include <functional>
#include <vector>

// Measuring helpers for rendered images: tests assert on where things were drawn, never on
// whole images.
namespace ImageProbe {

inline QImage canvas(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

inline QColor at(const QImage &image, int x, int y)
{
    return image.pixelColor(x, y);
}

inline bool near(const QColor &a, const QColor &b, int tolerance = 24)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance && std::abs(a.alpha() - b.alpha()) <= tolerance;
}

// Opaque-ish pixel of roughly this hue (alpha ignored).
inline bool sameRgb(const QColor &a, const QColor &b, int tolerance = 40)
{
    return a.alpha() > 100 && std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance && std::abs(a.blue() - b.blue()) <= tolerance;
}

inline std::vector<QPoint> pixels(const QImage &image, const std::function<bool(const QColor &)> &match,
                                  QRect area = QRect())
{
    if (area.isNull())
        area = image.rect();
    area &= image.rect();
    std::vector<QPoint> out;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (match(at(image, x, y)))
                out.emplace_back(x, y);
    return out;
}

// Bounding box of the matching pixels (null when none match).
inline QRect bounds(const QImage &image, const std::function<bool(const QColor &)> &match, QRect area = QRect())
{
    QRect box;
    for (const QPoint &p : pixels(image, match, area))
        box |= QRect(p, QSize(1, 1));
    return box;
}

inline QPointF centroid(const std::vector<QPoint> &points)
{
    QPointF sum;
    for (const QPoint &p : points)
        sum += p;
    return points.empty() ? QPointF(qQNaN(), qQNaN()) : sum / double(points.size());
}

// Runs of matching pixels along a row (x ranges as [first, last]).
inline std::vector<std::pair<int, int>> runsInRow(const QImage &image, int y,
                                                  const std::function<bool(const QColor &)> &match)
{
    std::vector<std::pair<int, int>> runs;
    for (int x = 0; x < image.width(); ++x) {
        if (!match(at(image, x, y)))
            continue;
        if (!runs.empty() && runs.back().second == x - 1)
            runs.back().second = x;
        else
            runs.emplace_back(x, x);
    }
    return runs;
}

inline std::vector<std::pair<int, int>> runsInColumn(const QImage &image, int x,
                                                     const std::function<bool(const QColor &)> &match)
{
    std::vector<std::pair<int, int>> runs;
    for (int y = 0; y < image.height(); ++y) {
        if (!match(at(image, x, y)))
            continue;
        if (!runs.empty() && runs.back().second == y - 1)
            runs.back().second = y;
        else
            runs.emplace_back(y, y);
    }
    return runs;
}

}  // namespace ImageProbe
