import QtQuick 2.15
import QtQuick.Controls 2.15

// Offers to rewrite the adapter's EEPROM strings; any way out but "Update" declines.
Dialog {
    id: dialog

    property bool approved: false

    title: "Tarrowind USB Adapter needs an update"
    modal: true
    // Escape closes a popup only while it has the focus.
    focus: true
    x: parent ? (parent.width - width) / 2 : 0
    y: parent ? (parent.height - height) / 3 : 0
    width: parent ? Math.min(parent.width * 0.9, implicitWidth) : implicitWidth
    closePolicy: Popup.CloseOnEscape

    Label {
        width: parent ? parent.width : implicitWidth
        text: "The connected adapter has an old or incorrect configuration stored in its memory and can benefit from an update."
        wrapMode: Text.Wrap
    }

    footer: DialogButtonBox {
        Button {
            text: "Update"
            DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
        }
        Button {
            text: "Cancel"
            DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
        }
    }

    onAccepted: approved = true
    onClosed: {
        if (approved)
            globals.eepromFixApproved()
        else
            globals.eepromFixDenied()
        destroy()
    }
}
