#include "MessageCapture.h"

#include <QMutex>
#include <QMutexLocker>
#include <QtGlobal>

namespace {
// The handler may still run in another thread while a capture ends, so what it writes to
// lives as long as the program.
QMutex g_mutex;
QStringList g_messages;
QtMessageHandler g_previous = nullptr;

void captureHandler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    QMutexLocker lock(&g_mutex);
    g_messages << message;
}
}  // namespace

MessageCapture::MessageCapture()
{
    clear();
    g_previous = qInstallMessageHandler(&captureHandler);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(g_previous);
}

QStringList MessageCapture::messages() const
{
    QMutexLocker lock(&g_mutex);
    return g_messages;
}

void MessageCapture::clear()
{
    QMutexLocker lock(&g_mutex);
    g_messages.clear();
}

int MessageCapture::count(const QString &message) const
{
    return int(messages().count(message));
}

int MessageCapture::countStartingWith(const QString &prefix) const
{
    int n = 0;
    for (const QString &m : messages()) {
        if (m.startsWith(prefix))
            ++n;
    }
    return n;
}

bool MessageCapture::contains(const QString &message) const
{
    return messages().contains(message);
}

bool MessageCapture::containsText(const QString &text) const
{
    for (const QString &m : messages()) {
        if (m.contains(text))
            return true;
    }
    return false;
}

bool MessageCapture::containsInOrder(const QStringList &parts) const
{
    for (const QString &m : messages()) {
        int at = 0;
        bool all = true;
        for (const QString &p : parts) {
            at = m.indexOf(p, at);
            if (at < 0) {
                all = false;
                break;
            }
            at += p.size();
        }
        if (all)
            return true;
    }
    return false;
}
