#pragma once

#include <QString>
#include <QStringList>

// Collects the Qt log messages of the current thread while alive (one at a time).
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    bool contains(const QString &text) const;
    // True when one message holds every part, in order.
    bool containsAll(const QStringList &parts) const;
    QStringList messages() const;
};
