import QtQuick 2.15
import QtQuick.Controls 2.15

// Asks before work is cut short. Staying is the default, so Return or Escape keep the work.
Dialog {
    id: dialog

    property string question: ""
    property string goText: ""
    property string stayText: ""

    signal go()

    title: "Please Confirm"
    modal: true
    parent: Overlay.overlay
    anchors.centerIn: parent
    closePolicy: Popup.CloseOnEscape
    width: 460

    onOpened: stayButton.forceActiveFocus()
    onClosed: destroy()

    contentItem: Label {
        objectName: "confirmQuestion"
        text: dialog.question
        wrapMode: Text.WordWrap
    }

    footer: DialogButtonBox {
        Button {
            id: stayButton
            objectName: "confirmStay"
            text: dialog.stayText
            DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            Keys.onReturnPressed: dialog.reject()
            Keys.onEnterPressed: dialog.reject()
        }
        Button {
            objectName: "confirmGo"
            text: dialog.goText
            DialogButtonBox.buttonRole: DialogButtonBox.DestructiveRole
            onClicked: {
                dialog.go()
                dialog.close()
            }
        }
    }
}
