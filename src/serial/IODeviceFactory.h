#pragma once

#include <QIODevice>
#include <QObject>

// What the protocol side consumes: something that keeps an open device and hands it out.
// A device obtained earlier must be dropped when ioDeviceChanged() announces another one;
// it is deleted soon after.
class IODeviceFactory : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QIODevice *ioDevice READ ioDevice NOTIFY ioDeviceChanged)

public:
    using QObject::QObject;

    // The current, open device, or null.
    virtual QIODevice *ioDevice() const = 0;

public slots:
    // Closes and reopens the device; may be called at any time, calls coalesce.
    virtual void reinit() = 0;

signals:
    void ioDeviceChanged();
};
