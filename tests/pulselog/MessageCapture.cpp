#include "MessageCapture.h"

#include <QtGlobal>

namespace {
QStringList *g_messages = nullptr;
QtMessageHandler g_previous = nullptr;

void handler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (g_messages)
        g_messages->append(message);
}
}  // namespace

MessageCapture::MessageCapture()
{
    g_messages = new QStringList;
    g_previous = qInstallMessageHandler(handler);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(g_previous);
    delete g_messages;
    g_messages = nullptr;
}

bool MessageCapture::contains(const QString &text) const
{
    for (const QString &m : *g_messages) {
        if (m.contains(text))
            return true;
    }
    return false;
}

bool MessageCapture::containsAll(const QStringList &parts) const
{
    for (const QString &m : *g_messages) {
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

QStringList MessageCapture::messages() const
{
    return *g_messages;
}
