import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Window 2.15

// Asks before work or data is lost. Staying is the default: the question opens with the focus
// on it, Return, Enter and Escape give it, and losing takes a click or Tab then Space.
Dialog {
    id: dialog

    property string question: ""
    property string goText: ""
    property string stayText: ""

    // Where the focus was before the question took it.
    property Item focusBefore: null

    signal go()

    title: "Please Confirm"
    modal: true
    // Taken the moment the dialog opens, not after its enter transition: a key pressed at once
    // must reach the question, never the window behind it.
    focus: true
    parent: Overlay.overlay
    anchors.centerIn: parent
    closePolicy: Popup.CloseOnEscape
    width: 460

    onAboutToShow: focusBefore = parent ? parent.Window.activeFocusItem : null
    // Forced, not only set, as the dialog appears (a key pressed at once must find it) and again
    // once it has opened: the window may drop its focus and take it back in between.
    onVisibleChanged: if (visible) stayButton.forceActiveFocus()
    onOpened: stayButton.forceActiveFocus()
    // Back where it was, so the window's shortcuts work again without a click.
    onClosed: {
        if (focusBefore && focusBefore.visible)
            focusBefore.forceActiveFocus()
        else if (parent && parent.Window.contentItem)
            parent.Window.contentItem.forceActiveFocus()
        focusBefore = null
    }

    contentItem: Label {
        objectName: "confirmQuestion"
        text: dialog.question
        textFormat: Text.PlainText
        wrapMode: Text.WordWrap
    }

    // Plain items, not a button box: the box's list is a focus scope that takes the focus only
    // once it has been laid out, after the first frame, and a key pressed before would be lost.
    footer: Item {
        implicitWidth: buttons.implicitWidth + 2 * buttons.anchors.margins
        implicitHeight: buttons.implicitHeight + 2 * buttons.anchors.margins

        // The window's own Escape (leave the screen) must not act behind an open question.
        Keys.onShortcutOverride: event.accepted = dialog.safeKey(event.key)
        Keys.onPressed: {
            if (dialog.safeKey(event.key)) {
                event.accepted = true
                dialog.reject()
            }
        }

        Row {
            id: buttons
            anchors.right: parent.right
            anchors.verticalCenter: parent.verticalCenter
            anchors.margins: 8
            spacing: 8

            Button {
                objectName: "confirmGo"
                text: dialog.goText
                flat: true
                onClicked: {
                    dialog.close()
                    dialog.go()
                }
            }
            Button {
                id: stayButton
                objectName: "confirmStay"
                text: dialog.stayText
                highlighted: true
                onClicked: dialog.reject()
            }
        }
    }

    function safeKey(key) {
        return key === Qt.Key_Return || key === Qt.Key_Enter || key === Qt.Key_Escape || key === Qt.Key_Back
    }
}
