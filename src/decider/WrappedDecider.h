#pragma once

// How the decider library reports failure (nothing here throws): the QObject services keep a
// text property, error() (empty while all is well) next to their status (the decider's
// DeciderStatus, the magnetometer's State); recordings return bool from load() and save() and
// log the reason.

#include "common/TimeTypes.h"
#include "common/XyzSample.h"
#include "Decider.h"
#include "network/Network.h"

#include <QByteArray>
#include <QObject>
#include <QString>

// QML face of a Decider: takes timestamped samples, counts pulses and exposes angle, status and
// the logger's algorithm-parameter packet. Abstract; WrappedEllipticalDecider is the concrete kind.
class WrappedDecider : public QObject
{
    Q_OBJECT
    Q_PROPERTY(float angleRadians READ angleRadians NOTIFY deciderUpdated)
    Q_PROPERTY(float learningPercent READ learningPercent NOTIFY deciderUpdated)
    Q_PROPERTY(QString error READ error NOTIFY deciderUpdated)
    Q_PROPERTY(Network::Algorithm algorithm READ algorithm CONSTANT)
    Q_PROPERTY(int pulseCount READ pulseCount WRITE setPulseCount NOTIFY pulseCountChanged)
    Q_PROPERTY(DeciderStatus status READ status NOTIFY deciderUpdated)

public:
    enum DeciderType { DeciderType_Fft = 0, DeciderType_Elliptical = 1 };
    Q_ENUM(DeciderType)
    enum DeciderStatus {
        DeciderStatus_NotReady = 0,
        DeciderStatus_LearningParameters = 1,
        DeciderStatus_Running = 2,
        DeciderStatus_RunningBackgroundLearning = 3,
    };
    Q_ENUM(DeciderStatus)

    explicit WrappedDecider(QObject *parent = nullptr);
    ~WrappedDecider() override;

    virtual Network::Algorithm algorithm() const = 0;
    virtual float learningPercent() const = 0;
    Q_INVOKABLE virtual void reset();
    virtual DeciderStatus status() const = 0;
    virtual QString error() const = 0;
    virtual Decider &decider() = 0;
    virtual const Decider &decider() const = 0;
    Q_INVOKABLE virtual QByteArray serialize() const = 0;
    Q_INVOKABLE virtual bool deserialize(const QByteArray &packet) = 0;

    float angleRadians() const { return decider().angleRadians(); }
    int pulseCount() const { return m_pulseCount; }

public slots:
    virtual void addSample(const XyzSampleTimestamped &sample) = 0;
    void setPulseCount(int pulseCount);

signals:
    void deciderUpdated();
    void strategyChanged();
    void learningPercentChanged();
    void pulseCountChanged();
    void pulsed(TimeTypes::Epoch1970::NanosI64 timestamp);

private:
    int m_pulseCount = 0;
};
