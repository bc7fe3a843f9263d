#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <functional>

// What the benchmarks that drive the real protocol stack share: they run its event loop
// themselves and keep only messages that mean a run is void.
namespace bench {

inline bool spinUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

inline void quiet(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

}  // namespace bench
