#pragma once

#include <QIODevice>

#include <memory>

class InProcessLink;
class QSocketNotifier;

// The host end of an in-process line to the virtual logger: an open, sequential QIODevice
// that emits readyRead when the device has sent bytes. It lives in the thread that created
// it (the test's thread) and learns of new bytes through a socket notifier on the link's
// eventfd, so that thread must run an event loop (QTRY_*, QSignalSpy::wait).
class InProcessSerialDevice : public QIODevice
{
    Q_OBJECT
public:
    explicit InProcessSerialDevice(std::shared_ptr<InProcessLink> link, QObject *parent = nullptr);
    ~InProcessSerialDevice() override;

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    void close() override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    void onNotified();

    std::shared_ptr<InProcessLink> m_link;
    QSocketNotifier *m_notifier = nullptr;
};
