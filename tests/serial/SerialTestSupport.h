#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QStringList>
#include <QThread>

#include <functional>

// Spins the event loop of the calling thread until `condition` holds or `timeoutMs` passes.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 3000);

// Runs the event loop for a while, e.g. to show that something does NOT happen.
void spinFor(int ms);

// Deterministic pseudo-random bytes.
QByteArray pattern(int size, int seed = 0);

// Collects the log lines of every thread while it exists.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    int count(const QString &line) const;
    QStringList lines() const;
};
