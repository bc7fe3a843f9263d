import QtQuick 2.15
import QtQuick.Controls 2.15

// A modal dialog around one document, 90 % of the window, closed with "Close" or Escape.
Dialog {
    id: dialog

    property url document

    modal: true
    // Escape closes a popup only while it has the focus.
    focus: true
    width: parent ? parent.width * 0.9 : 600
    height: parent ? parent.height * 0.9 : 400
    x: parent ? (parent.width - width) / 2 : 0
    y: parent ? (parent.height - height) / 2 : 0
    closePolicy: Popup.CloseOnEscape
    standardButtons: Dialog.Close

    contentItem: Loader {
        id: loader
        source: dialog.document
        Label {
            anchors.centerIn: parent
            visible: loader.status === Loader.Error
            text: "Not available in this version"
        }
    }

    onClosed: destroy()
}
