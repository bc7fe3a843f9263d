#pragma once

#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

#include <memory>

// An offscreen window holding one item, for tests that need real mouse delivery or the scene
// graph's paint calls.
class ItemWindow
{
public:
    explicit ItemWindow(QQuickItem *item, QSize size = QSize(500, 400)) : m_window(new QQuickWindow)
    {
        m_window->resize(size);
        item->setParent(m_window->contentItem());  // the window deletes it
        item->setParentItem(m_window->contentItem());
        item->setSize(QSizeF(size));
        m_window->show();
        m_ok = QTest::qWaitForWindowExposed(m_window.get());
    }
    bool exposed() const { return m_ok; }
    QQuickWindow *window() const { return m_window.get(); }
    QQuickWindow *operator->() const { return m_window.get(); }

private:
    std::unique_ptr<QQuickWindow> m_window;
    bool m_ok = false;
};
