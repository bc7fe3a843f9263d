import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "LogFiles.js" as LogFiles

// Erasing the logger's filesystem loses every session on it for good: ask first, and say how
// much would be lost. Cancel is the default, so Return or Escape keep the data.
Dialog {
    id: dialog
    objectName: "clearFilesDialog"

    property int sessionCount: 0
    property int unsavedCount: 0
    property bool scanned: false

    signal erase()

    title: "Clear Files"
    modal: true
    parent: Overlay.overlay
    anchors.centerIn: parent
    closePolicy: Popup.CloseOnEscape
    width: 460

    onOpened: cancelButton.forceActiveFocus()

    contentItem: Label {
        objectName: "clearFilesQuestion"
        text: LogFiles.eraseQuestion(dialog.sessionCount, dialog.unsavedCount, dialog.scanned)
        wrapMode: Text.WordWrap
    }

    footer: DialogButtonBox {
        Button {
            id: cancelButton
            objectName: "clearFilesCancel"
            text: "Cancel"
            DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            Keys.onReturnPressed: dialog.reject()
            Keys.onEnterPressed: dialog.reject()
        }
        Button {
            objectName: "clearFilesErase"
            text: "Erase"
            DialogButtonBox.buttonRole: DialogButtonBox.DestructiveRole
            onClicked: {
                dialog.close()
                dialog.erase()
            }
        }
    }
}
