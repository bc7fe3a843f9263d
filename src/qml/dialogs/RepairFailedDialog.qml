import QtQuick 2.15
import QtQuick.Controls 2.15

// The elevated adapter repair did not succeed: the user is told where its own account is.
Dialog {
    id: dialog

    property string logPath: globals.host && globals.host.repairLogPath ? globals.host.repairLogPath() : ""

    objectName: "repairFailedDialog"
    title: "Adapter update failed"
    modal: true
    focus: true
    x: parent ? (parent.width - width) / 2 : 0
    y: parent ? (parent.height - height) / 3 : 0
    closePolicy: Popup.CloseOnEscape
    standardButtons: Dialog.Close

    Label {
        objectName: "repairFailedText"
        textFormat: Text.PlainText
        text: "The adapter's settings could not be changed. Details are in " + dialog.logPath + "."
        wrapMode: Text.Wrap
        width: Math.min(implicitWidth, 520)
    }

    onClosed: destroy()
}
