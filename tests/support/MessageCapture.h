#pragma once

#include <QString>
#include <QStringList>

// Collects the Qt log messages of every thread while it exists, so tests can check the exact
// texts; nothing reaches the previous handler meanwhile. One capture at a time.
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    QStringList messages() const;
    void clear();

    // Messages equal to `message`.
    int count(const QString &message) const;
    int countStartingWith(const QString &prefix) const;
    // True when a message equals `message`.
    bool contains(const QString &message) const;
    // True when a message contains `text` somewhere.
    bool containsText(const QString &text) const;
    // True when one message holds every part, in order.
    bool containsInOrder(const QStringList &parts) const;
};
