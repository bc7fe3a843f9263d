#pragma once

#include "render/BackgroundTask.h"
#include "render/SceneRenderer.h"

#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QQuickPaintedItem>
#include <QVector3D>

#include <atomic>

// Live 3-D view of what the decider sees: its recent points, learned circles and hull, with
// axes and grid planes, projected by its own matrix and drawn with 2-D painter calls. Each
// frame copies the decider's histories (under its lock) on the GUI thread and is drawn on the
// global thread pool; the item paints the newest finished frame. The view eases its zoom and
// extent towards the data and keeps repainting until it settles. Interactive views turn with
// the mouse.
class SoftwareRenderer : public QQuickPaintedItem
{
    Q_OBJECT
    Q_PROPERTY(QObject *source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(QVector3D eyeVector READ eyeVector WRITE setEyeVector NOTIFY eyeVectorChanged)
    Q_PROPERTY(bool interactive READ interactive WRITE setInteractive NOTIFY interactiveChanged)
    Q_PROPERTY(int drawAxes READ drawAxes WRITE setDrawAxes NOTIFY drawAxesChanged)
    Q_PROPERTY(int drawPlanes READ drawPlanes WRITE setDrawPlanes NOTIFY drawPlanesChanged)
    Q_PROPERTY(bool orthogonal READ orthogonal WRITE setOrthogonal NOTIFY orthogonalChanged)

public:
    enum Axis { Axis_X = SceneRenderer::Axis_X, Axis_Y = SceneRenderer::Axis_Y, Axis_Z = SceneRenderer::Axis_Z };
    Q_DECLARE_FLAGS(Axes, Axis)
    Q_FLAG(Axes)
    enum Plane {
        Plane_XY = SceneRenderer::Plane_XY,
        Plane_XZ = SceneRenderer::Plane_XZ,
        Plane_YZ = SceneRenderer::Plane_YZ
    };
    Q_DECLARE_FLAGS(Planes, Plane)
    Q_FLAG(Planes)

    explicit SoftwareRenderer(QQuickItem *parent = nullptr);
    ~SoftwareRenderer() override;

    QObject *source() const { return m_source.data(); }
    QVector3D eyeVector() const { return m_eye; }
    bool interactive() const { return m_interactive; }
    int drawAxes() const { return m_axes; }
    int drawPlanes() const { return m_planes; }
    bool orthogonal() const { return m_orthogonal; }
    float zoom() const { return m_zoom; }

    // The frame to draw next: eases zoom and extent one step and copies the decider's state.
    SceneRenderer::Data prepareFrame();
    // Steers the zoom by the extent a frame drawn at frameZoom covered; true while the view is
    // still moving noticeably (another frame is then due).
    bool finishFrame(const SceneRenderer::ScreenBox &box, float frameZoom);
    // The newest finished frame, and whether one is being drawn.
    QImage frame() const { return m_frame; }
    bool rendering() const { return m_task.running(); }
    // A frame is being drawn or is due: false once the view has settled.
    bool framePending() const { return m_dirty || m_task.running(); }

    Q_INVOKABLE QPointF reverse(int x, int y) const;

    void paint(QPainter *painter) override;

public slots:
    void setSource(QObject *source);
    void setEyeVector(const QVector3D &eyeVector);
    void setInteractive(bool interactive);
    void setDrawAxes(int drawAxes);
    void setDrawPlanes(int drawPlanes);
    void setOrthogonal(bool orthogonal);
    void updateAll();

signals:
    void sourceChanged(QObject *source);
    void eyeVectorChanged(const QVector3D &eyeVector);
    void interactiveChanged(bool interactive);
    void drawAxesChanged(int drawAxes);
    void drawPlanesChanged(int drawPlanes);
    void orthogonalChanged(bool orthogonal);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void geometryChanged(const QRectF &newGeometry, const QRectF &oldGeometry) override;

private:
    struct Frame {
        QImage image;
        SceneRenderer::ScreenBox box;
        float zoom = 1.f;
    };

    void startRender();
    void refreshFromSource(float k);
    void turn(const QPointF &position);
    float smoothingFactor();
    float zoomTarget() const;
    SceneRenderer::Data currentView() const;

    QPointer<QObject> m_source;
    QMetaObject::Connection m_sourceConnection;
    QVector3D m_eye{0, 0, -1};
    bool m_interactive = false;
    int m_axes = Axis_X | Axis_Y | Axis_Z;
    int m_planes = Plane_XY | Plane_XZ | Plane_YZ;
    bool m_orthogonal = false;

    // Working state of the view.
    std::vector<QVector3D> m_points;
    std::vector<uint8_t> m_intensities;
    std::vector<QVector4D> m_circles;
    std::vector<QPointF> m_hull;
    QVector3D m_boxMin{-1, -1, -1}, m_boxMax{1, 1, 1};
    QVector3D m_zoomMin{-1, -1, -1}, m_zoomMax{1, 1, 1};
    float m_zoom = 1.f;
    float m_k = 0.49f;
    QElapsedTimer m_sinceFrame;
    QElapsedTimer m_sinceSource;

    bool m_dragging = false;
    QPointF m_lastMouse;
    QPointF m_lastHorizontal;  // the eye's last horizontal direction, for straight-down views

    QImage m_frame;
    bool m_dirty = true;
    std::atomic_bool m_renderRequested{false};
    QSize m_renderSize;
    BackgroundTask<Frame> m_task;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(SoftwareRenderer::Axes)
Q_DECLARE_OPERATORS_FOR_FLAGS(SoftwareRenderer::Planes)
