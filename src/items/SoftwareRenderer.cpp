#include "SoftwareRenderer.h"

#include "decider/WrappedEllipticalDecider.h"

#include <QCursor>
#include <QPainter>
#include <QQuickWindow>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace {
constexpr float kMaxSmoothing = 0.49f;
constexpr float kSettleDistanceSq = 0.01f;  // zoom-box corner moves below 0.1 count as settled
constexpr float kZoomFill = 0.70710677f;
constexpr float kZoomSettled = 0.01f;  // relative distance of the zoom from its target

float easeTowards(float k, float distance)
{
    return std::pow(k, 1.f - std::min(0.8f, std::max(0.f, distance)));
}

bool finite(const QVector3D &v)
{
    return std::isfinite(v.x()) && std::isfinite(v.y()) && std::isfinite(v.z());
}

// Moves a box towards its target, faster the farther away it is.
void easeBox(float k, const QVector3D &targetMin, const QVector3D &targetMax, QVector3D *min, QVector3D *max)
{
    const float r = (targetMin - *min).length(), o = (targetMax - *max).length();
    const float f = easeTowards(k, (o + r) / 2.f / 10.f);
    *min = f * targetMin + (1.f - f) * *min;
    *max = f * targetMax + (1.f - f) * *max;
}

QVector3D minOf(const QVector3D &a, const QVector3D &b)
{
    return QVector3D(std::min(a.x(), b.x()), std::min(a.y(), b.y()), std::min(a.z(), b.z()));
}

QVector3D maxOf(const QVector3D &a, const QVector3D &b)
{
    return QVector3D(std::max(a.x(), b.x()), std::max(a.y(), b.y()), std::max(a.z(), b.z()));
}
}  // namespace

SoftwareRenderer::SoftwareRenderer(QQuickItem *parent)
    : QQuickPaintedItem(parent), m_task(this, [this](Frame frame) {
          m_frame = frame.image;
          if (finishFrame(frame.box, frame.zoom))
              m_dirty = true;
          update();
      })
{
    setAntialiasing(true);
    setInteractive(false);
    m_sinceFrame.start();
    m_sinceSource.start();
}

SoftwareRenderer::~SoftwareRenderer() = default;

void SoftwareRenderer::setSource(QObject *source)
{
    if (m_source == source)
        return;
    disconnect(m_sourceConnection);
    m_source = source;
    if (auto *decider = qobject_cast<WrappedEllipticalDecider *>(source))
        m_sourceConnection = connect(decider, &WrappedDecider::deciderUpdated, this, &SoftwareRenderer::updateAll);
    m_sinceFrame.restart();
    m_sinceSource.restart();
    emit sourceChanged(source);
    updateAll();
}

void SoftwareRenderer::setEyeVector(const QVector3D &eyeVector)
{
    if (m_eye == eyeVector)
        return;
    m_eye = eyeVector;
    emit eyeVectorChanged(eyeVector);
    updateAll();
}

void SoftwareRenderer::setInteractive(bool interactive)
{
    const bool changed = m_interactive != interactive;
    m_interactive = interactive;
    setAcceptedMouseButtons(interactive ? Qt::LeftButton : Qt::NoButton);
#if QT_CONFIG(cursor)
    setCursor(interactive ? Qt::CrossCursor : Qt::ArrowCursor);
#endif
    if (changed) {
        emit interactiveChanged(interactive);
        updateAll();
    }
}

void SoftwareRenderer::setDrawAxes(int drawAxes)
{
    if (m_axes == drawAxes)
        return;
    m_axes = drawAxes;
    emit drawAxesChanged(drawAxes);
    updateAll();
}

void SoftwareRenderer::setDrawPlanes(int drawPlanes)
{
    if (m_planes == drawPlanes)
        return;
    m_planes = drawPlanes;
    emit drawPlanesChanged(drawPlanes);
    updateAll();
}

void SoftwareRenderer::setOrthogonal(bool orthogonal)
{
    if (m_orthogonal == orthogonal)
        return;
    m_orthogonal = orthogonal;
    emit orthogonalChanged(orthogonal);
    updateAll();
}

void SoftwareRenderer::updateAll()
{
    m_dirty = true;
    update();
}

float SoftwareRenderer::smoothingFactor()
{
    const float dt = std::max(0.001f, float(m_sinceFrame.restart()) / 1000.f);
    const float t = std::max(1.f, float(m_sinceSource.elapsed()));
    const float k = std::pow(0.04f, 1.f - dt) * (1.f - 100.f / t) + (100.f / t) * kMaxSmoothing;
    return std::isnan(k) ? kMaxSmoothing : std::clamp(k, 0.f, kMaxSmoothing);
}

void SoftwareRenderer::refreshFromSource(float k)
{
    const auto *decider = qobject_cast<const WrappedEllipticalDecider *>(m_source.data());
    bool running = false;
    float inner = 0, outer = 0;
    QVector3D offset;
    m_points.clear();
    m_intensities.clear();
    if (decider) {
        std::lock_guard<std::mutex> lock(decider->mutex());
        const auto &points = decider->displayPoints();
        const auto &quality = decider->pointQuality();
        const int n = std::min(points.size(), quality.size());
        m_points.reserve(size_t(n));
        m_intensities.reserve(size_t(n));
        for (int i = 0; i < n; ++i) {
            const float3 &p = points.at(i);
            m_points.emplace_back(p.x, p.y, p.z);
            const float q = quality.at(i);
            // A quality that is not a number fits nothing: red.
            m_intensities.push_back(q >= 1.f ? 0 : std::isnan(q) ? 255 : uint8_t((1.f - std::max(q, 0.f)) * 255.f));
        }
        if (n > 0) {
            m_hull.clear();
            for (const float2 &h : decider->hullPoints())
                m_hull.emplace_back(h.x, h.y);
            const auto status = decider->status();
            running = status == WrappedDecider::DeciderStatus_Running ||
                      status == WrappedDecider::DeciderStatus_RunningBackgroundLearning;
            const EllipticalParameters &params = decider->liveDecider().parameters();
            inner = params.innerRadius;
            outer = params.outerRadius;
            offset = QVector3D(params.sphereOffsetU, params.sphereOffsetV, params.sphereOffsetW);
        }
    }
    if (m_points.empty()) {
        m_points.assign(1, QVector3D());
        m_intensities.assign(1, 0);
        m_circles.clear();
        m_hull.clear();
        m_boxMin = QVector3D(-1, -1, -1);
        m_boxMax = QVector3D(1, 1, 1);
        return;
    }

    m_circles.clear();
    if (running) {
        m_circles.emplace_back(0.f, 0.f, 0.f, inner);
        m_circles.emplace_back(offset, outer);
    }
    QVector3D lo(INFINITY, INFINITY, INFINITY), hi(-INFINITY, -INFINITY, -INFINITY);
    for (const QVector3D &p : m_points) {
        if (finite(p)) {
            lo = minOf(lo, p);
            hi = maxOf(hi, p);
        }
    }
    if (!(lo.x() <= hi.x()))
        lo = hi = QVector3D();
    if (running && finite(offset) && std::isfinite(outer)) {
        const QVector3D r(outer, outer, outer);
        lo = minOf(lo, offset - r);
        hi = maxOf(hi, offset + r);
    } else {
        const QVector3D mirroredLo = -hi, mirroredHi = -lo;
        lo = minOf(lo, mirroredLo);
        hi = maxOf(hi, mirroredHi);
    }
    lo = minOf(lo, QVector3D(-1, -1, -1));
    hi = maxOf(hi, QVector3D(1, 1, 1));
    easeBox(k, lo, hi, &m_boxMin, &m_boxMax);
}

SceneRenderer::Data SoftwareRenderer::currentView() const
{
    SceneRenderer::Data d;
    d.boxMin = m_boxMin;
    d.boxMax = m_boxMax;
    d.zoom = m_zoom;
    d.eye = m_eye;
    d.axes = m_axes;
    d.planes = m_planes;
    d.orthogonal = m_orthogonal;
    return d;
}

float SoftwareRenderer::zoomTarget() const
{
    float e = std::max({-m_zoomMin.x(), m_zoomMax.x(), -m_zoomMin.y(), m_zoomMax.y()});
    e = std::isnan(e) ? 1.f : std::clamp(e, 0.05f, 1000.f);
    return kZoomFill / e;
}

SceneRenderer::Data SoftwareRenderer::prepareFrame()
{
    m_k = smoothingFactor();
    const float target = zoomTarget();
    const float m = easeTowards(m_k, (target - m_zoom) / 5.f);
    m_zoom = (1.f - m) * m_zoom + m * target;

    refreshFromSource(m_k);
    SceneRenderer::Data d = currentView();
    d.points = m_points;
    d.intensities = m_intensities;
    d.circles = m_circles;
    d.hull = m_hull;
    return d;
}

bool SoftwareRenderer::finishFrame(const SceneRenderer::ScreenBox &box, float frameZoom)
{
    if (!box.valid || !(frameZoom > 0.f) || width() <= 0 || height() <= 0)
        return false;
    const QVector3D centre(float(width()) / 2.f, float(height()) / 2.f, 0.f);
    const QVector3D half(float(width()) / 2.f * frameZoom, float(height()) / 2.f * frameZoom, frameZoom);
    const QVector3D targetMin = (box.min - centre) / half, targetMax = (box.max - centre) / half;
    if (!finite(targetMin) || !finite(targetMax))
        return false;
    const QVector3D oldMin = m_zoomMin, oldMax = m_zoomMax;
    easeBox(m_k, targetMin, targetMax, &m_zoomMin, &m_zoomMax);
    auto movedSq = [](const QVector3D &a, const QVector3D &b) {
        return (a.toVector2D() - b.toVector2D()).lengthSquared();
    };
    // The zoom follows the zoom box more slowly than the box settles: without new samples it
    // would stop short of filling the view, so it also keeps the frames coming.
    const bool zooming = std::abs(zoomTarget() - m_zoom) > kZoomSettled * zoomTarget();
    return zooming || movedSq(oldMin, m_zoomMin) > kSettleDistanceSq || movedSq(oldMax, m_zoomMax) > kSettleDistanceSq;
}

QPointF SoftwareRenderer::reverse(int x, int y) const
{
    bool invertible = false;
    const QMatrix4x4 inverse =
        SceneRenderer::projection(QSizeF(width(), height()), currentView()).inverted(&invertible);
    if (!invertible)
        return QPointF();
    const QVector4D v = inverse * QVector4D(float(x), float(y), 0.f, 1.f);
    return QPointF(v.x(), v.y());
}

void SoftwareRenderer::paint(QPainter *painter)
{
    if (!m_source)
        return;
    if (!m_frame.isNull())
        painter->drawImage(QRectF(0, 0, width(), height()), m_frame);
    // paint() may run on the scene graph's render thread: the frame starts on the item's thread.
    if (m_dirty && !m_renderRequested.exchange(true))
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_renderRequested = false;
                startRender();
            },
            Qt::QueuedConnection);
}

void SoftwareRenderer::startRender()
{
    if (!m_dirty)
        return;
    if (!m_source || !isVisible() || opacity() < 0.001 || width() <= 0.001 || height() <= 0.001) {
        if (!m_source)
            m_frame = QImage();
        return;
    }
    const qreal dpr = window() ? window()->effectiveDevicePixelRatio() : 1.0;
    const QSize pixels(int(std::ceil(width() * dpr)), int(std::ceil(height() * dpr)));
    // The frame under way shows first (the dirty flag then starts the next), unless it no
    // longer fits the item.
    if (m_task.running() && pixels == m_renderSize)
        return;
    m_dirty = false;
    m_renderSize = pixels;
    const QRectF bounds(0, 0, width(), height());
    m_task.start([data = prepareFrame(), pixels, dpr, bounds](const std::atomic_bool &cancelled) {
        Frame frame;
        frame.zoom = data.zoom;
        frame.image = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        if (frame.image.isNull())
            return frame;
        frame.image.setDevicePixelRatio(dpr);
        frame.image.fill(Qt::transparent);
        QPainter painter(&frame.image);
        frame.box = SceneRenderer::draw(painter, bounds, data, &cancelled);
        return frame;
    });
}

void SoftwareRenderer::geometryChanged(const QRectF &newGeometry, const QRectF &oldGeometry)
{
    QQuickPaintedItem::geometryChanged(newGeometry, oldGeometry);
    if (newGeometry.size() != oldGeometry.size())
        updateAll();
}

void SoftwareRenderer::mousePressEvent(QMouseEvent *event)
{
    if (!m_interactive) {
        event->ignore();
        return;
    }
    m_dragging = true;
    grabMouse();
    m_lastMouse = event->localPos();
#if QT_CONFIG(cursor)
    setCursor(Qt::ClosedHandCursor);
#endif
}

void SoftwareRenderer::mouseReleaseEvent(QMouseEvent *event)
{
    if (!m_interactive) {
        event->ignore();
        return;
    }
    m_dragging = false;
    ungrabMouse();
    m_lastMouse = event->localPos();
#if QT_CONFIG(cursor)
    setCursor(Qt::CrossCursor);
#endif
}

void SoftwareRenderer::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_interactive || !m_dragging) {
        event->ignore();
        return;
    }
    turn(event->localPos());
}

void SoftwareRenderer::turn(const QPointF &position)
{
    const QPointF d = position - m_lastMouse;
    m_lastMouse = position;
    if (width() <= 0 || height() <= 0)
        return;
    const float z = std::clamp(m_eye.z() + 2.f * float(d.y() / height()), -0.99f, 0.99f);
    const double phi = -2.0 * M_PI * d.x() / width();
    // Looking straight along z there is no horizontal direction to turn: keep the last one, or
    // the one that continues the current picture (screen up stays world y, no flip).
    QPointF h(m_eye.x(), m_eye.y());
    const double length = std::hypot(h.x(), h.y());
    if (length > 1e-9 && std::isfinite(length))
        h /= length;
    else if (!m_lastHorizontal.isNull())
        h = m_lastHorizontal;
    else
        h = QPointF(0, m_eye.z() > 0 ? -1 : 1);
    const QPointF turned(h.x() * std::cos(phi) - h.y() * std::sin(phi), h.x() * std::sin(phi) + h.y() * std::cos(phi));
    m_lastHorizontal = turned;
    const float scale = 1.f - z * z;
    setEyeVector(QVector3D(float(turned.x()) * scale, float(turned.y()) * scale, z));
}
