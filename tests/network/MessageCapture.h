#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects every Qt log message while alive, so tests can check the exact texts.
class MessageCapture
{
public:
    MessageCapture()
    {
        instance() = this;
        m_previous = qInstallMessageHandler(&MessageCapture::handler);
    }
    ~MessageCapture()
    {
        qInstallMessageHandler(m_previous);
        instance() = nullptr;
    }

    QStringList messages() const
    {
        QMutexLocker lock(&m_mutex);
        return m_messages;
    }
    void clear()
    {
        QMutexLocker lock(&m_mutex);
        m_messages.clear();
    }
    int count(const QString &prefix) const
    {
        int n = 0;
        for (const QString &m : messages())
            if (m.startsWith(prefix))
                ++n;
        return n;
    }
    bool contains(const QString &text) const { return messages().contains(text); }

private:
    static MessageCapture *&instance()
    {
        static MessageCapture *current = nullptr;
        return current;
    }
    static void handler(QtMsgType, const QMessageLogContext &, const QString &msg)
    {
        if (MessageCapture *self = instance()) {
            QMutexLocker lock(&self->m_mutex);
            self->m_messages.append(msg);
        }
    }

    mutable QMutex m_mutex;
    QStringList m_messages;
    QtMessageHandler m_previous = nullptr;
};
