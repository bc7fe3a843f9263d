import QtQuick 2.15
import QtQuick.Controls 2.15

// The outcome of an adapter update.
Dialog {
    id: dialog

    property bool success: false

    title: success ? "Tarrowind USB Adapter updated" : "Tarrowind USB Adapter update failed"
    modal: true
    // Escape closes a popup only while it has the focus.
    focus: true
    x: parent ? (parent.width - width) / 2 : 0
    y: parent ? (parent.height - height) / 3 : 0
    closePolicy: Popup.CloseOnEscape
    standardButtons: Dialog.Close

    Label {
        textFormat: Text.RichText
        text: dialog.success
              ? "Success! Tarrowind USB Adapter memory updated.<br>For correct function, please unplug and reattach the adapter."
              : "The USB adapter could not be updated."
        wrapMode: Text.Wrap
    }

    onClosed: destroy()
}
