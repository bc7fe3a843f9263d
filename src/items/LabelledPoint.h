#pragma once

#include "render/LineGraphRenderer.h"

#include <QObject>
#include <QPointF>
#include <QString>

// One marked point of a LineGraph: a dot, ring or flag with an optional label and value text.
class LabelledPoint : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QPointF point READ point WRITE setPoint NOTIFY pointChanged)
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)
    Q_PROPERTY(QString valueText READ valueText WRITE setValueText NOTIFY valueTextChanged)
    Q_PROPERTY(PointType pointType READ pointType WRITE setPointType NOTIFY pointTypeChanged)
    Q_PROPERTY(bool labelBelow READ labelBelow WRITE setLabelBelow NOTIFY labelBelowChanged)

public:
    enum PointType {
        PointType_Solid = LineGraphRenderer::PointMark_Solid,
        PointType_Circle = LineGraphRenderer::PointMark_Circle,
        PointType_Flag = LineGraphRenderer::PointMark_Flag
    };
    Q_ENUM(PointType)

    explicit LabelledPoint(QObject *parent = nullptr);
    ~LabelledPoint() override;

    QPointF point() const { return m_point; }
    QString text() const { return m_text; }
    QString valueText() const { return m_valueText; }
    PointType pointType() const { return m_pointType; }
    bool labelBelow() const { return m_labelBelow; }

    // A new point with the same values.
    LabelledPoint *clone(QObject *parent) const;

    // Equal within a relative 1e-12, or an absolute 1e-12 where a coordinate is 0.
    static bool samePoint(const QPointF &a, const QPointF &b);

public slots:
    void setPoint(const QPointF &point);
    void setText(const QString &text);
    void setValueText(const QString &valueText);
    void setPointType(PointType pointType);
    void setLabelBelow(bool labelBelow);

signals:
    void pointChanged(const QPointF &point);
    void textChanged(const QString &text);
    void valueTextChanged(const QString &valueText);
    void pointTypeChanged(PointType pointType);
    void labelBelowChanged(bool labelBelow);

private:
    QPointF m_point;
    QString m_text;
    QString m_valueText;
    PointType m_pointType = PointType_Solid;
    bool m_labelBelow = true;
};
