#pragma once

#include <QMatrix4x4>
#include <QPointF>
#include <QRectF>
#include <QVector3D>
#include <QVector4D>

#include <atomic>
#include <cstdint>
#include <vector>

class QPainter;

// Draws the 3-D view of the decider with 2-D painter calls: grid planes, coordinate axes, the
// learned circles and hull outline, and the recent points coloured by how well they fit.
class SceneRenderer
{
public:
    enum Axis { Axis_X = 1, Axis_Y = 2, Axis_Z = 4 };
    enum Plane { Plane_XY = 1, Plane_XZ = 2, Plane_YZ = 4 };

    struct Data {
        std::vector<QVector3D> points;     // oldest first
        std::vector<uint8_t> intensities;  // 0 fits well (green) .. 255 fits badly (red)
        std::vector<QVector4D> circles;    // centre x, y, z and radius; drawn in a z plane
        std::vector<QPointF> hull;         // outline in the plane z = 0
        QVector3D boxMin{-1, -1, -1}, boxMax{1, 1, 1};
        QVector3D origin;
        QVector3D eye{0, 0, -1};
        float zoom = 1.f;
        int axes = Axis_X | Axis_Y | Axis_Z;
        int planes = Plane_XY | Plane_XZ | Plane_YZ;
        bool orthogonal = false;
    };

    // The pixel extent of what was drawn (x, y and depth), for the next frame's zoom.
    struct ScreenBox {
        QVector3D min, max;
        bool valid = false;
        void extend(const QVector3D &p);
    };

    static QMatrix4x4 projection(const QSizeF &size, const Data &data);
    // Half the length of the drawn axes: half the box diagonal plus the box centre's distance
    // from the origin.
    static float halfAxisLength(const Data &data);
    static ScreenBox draw(QPainter &painter, const QRectF &bounds, const Data &data,
                          const std::atomic_bool *cancelled = nullptr);

    static constexpr float kViewDistance = 0.70710677f;  // x box diagonal, along the eye
    static constexpr float kGridLimit = 15000.f;
};
