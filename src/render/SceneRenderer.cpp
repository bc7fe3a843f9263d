#include "SceneRenderer.h"

#include "ItemStyle.h"

#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>

namespace {
constexpr float kNear = 0.5f, kFar = 3000.f;
// Nothing is drawn closer to the eye than this (in clip-space w): behind it there is no
// sensible projection.
constexpr float kMinW = 1e-3f;
constexpr int kCircleSegments = 32;
constexpr double kAxisPen = 3.0, kGridPen = 1.0, kPointPen = 3.0, kTrailPen = 1.0;
constexpr int kAxisLabelPixels = 11;

bool finite(const QVector3D &v)
{
    return std::isfinite(v.x()) && std::isfinite(v.y()) && std::isfinite(v.z());
}

struct Projector {
    QMatrix4x4 m;
    bool perspective;

    QVector4D clip(const QVector3D &p) const { return m * QVector4D(p, 1.f); }
    static QVector3D divide(const QVector4D &c) { return c.toVector3D() / c.w(); }

    // Projects a point; false when it lies behind the eye or is not a number.
    bool point(const QVector3D &p, QVector3D *out) const
    {
        const QVector4D c = clip(p);
        if (!(c.w() >= kMinW))
            return false;
        *out = divide(c);
        return finite(*out);
    }

    // Projects a segment, cut where it passes behind the eye.
    bool segment(const QVector3D &a, const QVector3D &b, QVector3D *pa, QVector3D *pb) const
    {
        QVector4D ca = clip(a), cb = clip(b);
        const bool inA = ca.w() >= kMinW, inB = cb.w() >= kMinW;
        if (!inA && !inB)
            return false;
        if (!inA || !inB) {
            const float t = (kMinW - ca.w()) / (cb.w() - ca.w());
            const QVector4D cut = ca + t * (cb - ca);
            (inA ? cb : ca) = cut;
        }
        *pa = divide(ca);
        *pb = divide(cb);
        return finite(*pa) && finite(*pb);
    }
};

QPointF pixel(const QVector3D &p)
{
    return QPointF(ItemStyle::clampCoordinate(p.x()), ItemStyle::clampCoordinate(p.y()));
}

QPointF roundedPixel(const QVector3D &p)
{
    return QPointF(std::round(ItemStyle::clampCoordinate(p.x())), std::round(ItemStyle::clampCoordinate(p.y())));
}

QString axisLabel(const char *prefix, float value)
{
    return QString::fromLatin1(prefix) + QString::number(double(value), 'f', 1) + QString::fromUtf8("\xc2\xb5T");
}
}  // namespace

void SceneRenderer::ScreenBox::extend(const QVector3D &p)
{
    if (!finite(p))
        return;
    if (!valid) {
        min = max = p;
        valid = true;
        return;
    }
    min = QVector3D(std::min(min.x(), p.x()), std::min(min.y(), p.y()), std::min(min.z(), p.z()));
    max = QVector3D(std::max(max.x(), p.x()), std::max(max.y(), p.y()), std::max(max.z(), p.z()));
}

QMatrix4x4 SceneRenderer::projection(const QSizeF &size, const Data &data)
{
    const float w = float(size.width()), h = float(size.height());
    QMatrix4x4 m;
    m.translate(w / 2.f, h / 2.f);
    m.scale(w / 2.f, -h / 2.f);
    m.scale(data.zoom);

    float ax = 1.f, ay = 1.f;
    if (w > h)
        ay = h / w;
    else if (h > 0.f)
        ax = w / h;
    if (data.orthogonal)
        m.scale(0.5f / ax, 0.5f / ay);
    else
        m.frustum(-ax, ax, -ay, ay, kNear, kFar);

    // The view turns the eye direction towards the viewer; a zero eye looks along -z.
    QVector3D eye = data.eye;
    if (!finite(eye) || eye.lengthSquared() < 1e-12f)
        eye = QVector3D(0, 0, -1);
    const QVector3D toward = eye.normalized();
    const QVector3D forward = -toward;
    const QVector3D up = std::abs(toward.z()) > 0.9999f ? QVector3D(0, 1, 0) : QVector3D(0, 0, 1);
    const QVector3D side = QVector3D::crossProduct(forward, up).normalized();
    const QVector3D upward = QVector3D::crossProduct(side, forward);
    const QMatrix4x4 view(side.x(), side.y(), side.z(), 0.f, upward.x(), upward.y(), upward.z(), 0.f, toward.x(),
                          toward.y(), toward.z(), 0.f, 0.f, 0.f, 0.f, 1.f);
    m *= view;

    const float diagonal = (data.boxMax - data.boxMin).length();
    m.translate(-kViewDistance * diagonal * data.eye);
    m.translate(-data.origin);
    return m;
}

float SceneRenderer::halfAxisLength(const Data &data)
{
    const QVector3D centre = (data.boxMin + data.boxMax) / 2.f;
    return (data.boxMax - data.boxMin).length() / 2.f + (centre - data.origin).length();
}

namespace {
// One frame's drawing, layer by layer from the back: grid planes, axes, the learned circles,
// the hull outline, then the recent points. Each layer extends the frame's screen box.
struct Frame {
    QPainter &painter;
    const SceneRenderer::Data &data;
    const Projector project;
    const std::atomic_bool *cancelled;
    SceneRenderer::ScreenBox box;

    bool stop() const { return cancelled && cancelled->load(std::memory_order_relaxed); }

    void line(const QVector3D &a, const QVector3D &b, bool round)
    {
        QVector3D pa, pb;
        if (project.segment(a, b, &pa, &pb))
            painter.drawLine(round ? roundedPixel(pa) : pixel(pa), round ? roundedPixel(pb) : pixel(pb));
    }

    static QVector3D unit(int axis)
    {
        return axis == 0 ? QVector3D(1, 0, 0) : axis == 1 ? QVector3D(0, 1, 0) : QVector3D(0, 0, 1);
    }
    static QColor colour(int axis)
    {
        return axis == 0 ? ItemStyle::axisXColor() : axis == 1 ? ItemStyle::axisYColor() : ItemStyle::axisZColor();
    }

    void grid(float e)
    {
        const float extent = std::min(e, SceneRenderer::kGridLimit);
        const float spacing = extent < 10.f ? 1.f : 10.f;
        const QVector3D o = data.origin;
        // (direction axis, offset axis) pairs of each plane; each family in its direction's colour.
        struct Family {
            int plane, along, offset;
        };
        const Family families[] = {{SceneRenderer::Plane_XY, 0, 1}, {SceneRenderer::Plane_XY, 1, 0},
                                   {SceneRenderer::Plane_XZ, 0, 2}, {SceneRenderer::Plane_XZ, 2, 0},
                                   {SceneRenderer::Plane_YZ, 1, 2}, {SceneRenderer::Plane_YZ, 2, 1}};
        for (const Family &f : families) {
            if (!(data.planes & f.plane) || stop())
                continue;
            painter.setPen(QPen(colour(f.along), kGridPen, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
            for (float a = spacing; a < extent; a += spacing) {
                for (float sign : {1.f, -1.f}) {
                    const QVector3D shift = sign * a * unit(f.offset);
                    line(o - extent * unit(f.along) + shift, o + extent * unit(f.along) + shift, true);
                }
            }
        }
    }

    void axes(float e)
    {
        const QVector3D o = data.origin;
        const char *prefixes[3] = {"x:", "y:", "z:"};
        painter.setFont(ItemStyle::font(ItemStyle::defaultFontFamily(), kAxisLabelPixels));
        for (int i = 0; i < 3; ++i) {
            if (!(data.axes & (1 << i)))
                continue;
            painter.setPen(QPen(colour(i), kAxisPen, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
            line(o - e * unit(i), o + e * unit(i), false);
            const float component = i == 0 ? o.x() : i == 1 ? o.y() : o.z();
            for (float sign : {-1.f, 1.f}) {
                QVector3D end;
                if (project.point(o + sign * e * unit(i), &end))
                    painter.drawText(QRectF(pixel(end), QSizeF(0, 0)),
                                     Qt::AlignCenter | Qt::TextDontClip | Qt::TextSingleLine,
                                     axisLabel(prefixes[i], component + sign * e));
            }
        }
    }

    void circles()
    {
        painter.setPen(QPen(ItemStyle::circleColor()));
        for (const QVector4D &c : data.circles) {
            if (!std::isfinite(c.w()) || !finite(c.toVector3D()))
                continue;
            QVector3D prev;
            bool hasPrev = false;
            for (int i = 0; i <= kCircleSegments; ++i) {
                const float theta = float(i % kCircleSegments) * 2.f * float(M_PI) / kCircleSegments;
                const QVector3D v(c.x() + c.w() * std::sin(theta), c.y() + c.w() * std::cos(theta), c.z());
                QVector3D p;
                if (i < kCircleSegments && project.point(v, &p))
                    box.extend(p);
                if (hasPrev)
                    line(prev, v, false);
                prev = v;
                hasPrev = true;
            }
        }
    }

    void hull()
    {
        if (data.hull.empty())
            return;
        painter.setPen(QPen(ItemStyle::hullColor()));
        const size_t n = data.hull.size();
        for (size_t i = 0; i < n; ++i) {
            const QVector3D a(float(data.hull[i].x()), float(data.hull[i].y()), 0.f);
            const QPointF &next = data.hull[(i + 1) % n];
            QVector3D p;
            if (project.point(a, &p))
                box.extend(p);
            line(a, QVector3D(float(next.x()), float(next.y()), 0.f), false);
        }
    }

    // Newest last in the data, drawn first; older points fade out. Green fits, red does not.
    void points()
    {
        const size_t n = data.points.size();
        const size_t withIntensity = std::min(n, data.intensities.size());
        auto intensity = [&](size_t i) { return i < withIntensity ? int(data.intensities[i]) : 0; };
        for (size_t i = n ? n - 1 : 0; i >= 1 && i < n; --i) {
            if (stop())
                break;
            const double f = double(i) / double(n);
            const int alpha = int(255.0 * f * f * f);
            const int g = std::max(intensity(i), intensity(i - 1));
            painter.setPen(QPen(QColor(g, 255 - g, 0, alpha), kTrailPen));
            line(data.points[i - 1], data.points[i], false);
            QVector3D p;
            if (project.point(data.points[i], &p)) {
                const int own = intensity(i);
                painter.setPen(QPen(QColor(own, 255 - own, 0, alpha), kPointPen));
                painter.drawPoint(pixel(p));
                box.extend(p);
            }
        }
    }
};
}  // namespace

SceneRenderer::ScreenBox SceneRenderer::draw(QPainter &painter, const QRectF &bounds, const Data &data,
                                             const std::atomic_bool *cancelled)
{
    if (!(bounds.width() > 0.001) || !(bounds.height() > 0.001))
        return ScreenBox();
    Frame frame{painter, data, Projector{projection(bounds.size(), data), !data.orthogonal}, cancelled, ScreenBox()};

    painter.save();
    painter.setClipRect(bounds, Qt::IntersectClip);
    painter.translate(bounds.topLeft());
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setBrush(Qt::NoBrush);

    // The box restarts from the first point each frame.
    if (!data.points.empty()) {
        QVector3D first;
        if (frame.project.point(data.points.front(), &first))
            frame.box.extend(first);
    }
    const float e = halfAxisLength(data);
    if (std::isfinite(e)) {
        frame.grid(e);
        frame.axes(e);
    }
    frame.circles();
    frame.hull();
    frame.points();
    painter.restore();
    return frame.box;
}
