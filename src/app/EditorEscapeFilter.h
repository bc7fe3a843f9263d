#pragma once

#include <QObject>

// Escape pressed in a text box or a drop-down leaves that editor, and nothing more: the window's
// Escape (back to the previous screen) waits for the next press. Otherwise typing a value and
// pressing Escape would throw the screen away with its zoom and selection. Installed on the
// application, it sees every key event Qt Quick delivers to the focused item.
class EditorEscapeFilter : public QObject
{
    Q_OBJECT

public:
    explicit EditorEscapeFilter(QObject *parent = nullptr);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};
