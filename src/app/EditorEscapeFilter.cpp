#include "EditorEscapeFilter.h"

#include <QKeyEvent>
#include <QPointer>
#include <QQuickItem>

EditorEscapeFilter::EditorEscapeFilter(QObject *parent) : QObject(parent) {}

namespace {
bool editorType(const QQuickItem *item)
{
    return item->inherits("QQuickTextInput") || item->inherits("QQuickTextEdit") || item->inherits("QQuickComboBox") ||
           item->inherits("QQuickSpinBox");
}

// Text inputs, text areas, combo and spin boxes: the outermost one around `item` (a drop-down,
// not the text box inside an editable one), or null.
QQuickItem *outermostEditor(QQuickItem *item)
{
    QQuickItem *editor = nullptr;
    for (QQuickItem *p = item; p; p = p->parentItem())
        if (editorType(p))
            editor = p;
    return editor;
}
}  // namespace

bool EditorEscapeFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::ShortcutOverride && event->type() != QEvent::KeyPress)
        return false;
    auto *key = static_cast<QKeyEvent *>(event);
    if (key->key() != Qt::Key_Escape || key->modifiers() != Qt::NoModifier)
        return false;
    auto *item = qobject_cast<QQuickItem *>(watched);
    if (!item || !item->hasActiveFocus() || !outermostEditor(item))
        return false;
    if (event->type() == QEvent::ShortcutOverride) {
        // Claimed here, so the window's shortcut does not see this press.
        event->accept();
        return false;
    }
    // The editor gets the press first, then lets the focus go.
    QPointer<QQuickItem> editor(outermostEditor(item));
    QMetaObject::invokeMethod(
        this,
        [editor] {
            if (editor)
                editor->setFocus(false);
        },
        Qt::QueuedConnection);
    return false;
}
