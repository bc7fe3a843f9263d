import QtQuick 2.15
import QtQuick.Controls 2.15

// Says what a support bundle holds before one is saved: it leaves the machine by mail.
Dialog {
    id: dialog

    objectName: "supportBundleConfirm"
    title: "Save Support Bundle"
    modal: true
    focus: true
    x: parent ? (parent.width - width) / 2 : 0
    y: parent ? (parent.height - height) / 3 : 0
    // Never wider than the window: the text wraps and the dialog keeps its margins.
    width: Math.min(Math.min(contents.implicitWidth, 560) + leftPadding + rightPadding, parent ? parent.width - 24 : 600)
    closePolicy: Popup.CloseOnEscape

    Label {
        id: contents
        objectName: "supportBundleContents"
        width: dialog.availableWidth
        wrapMode: Text.Wrap
        textFormat: Text.PlainText
        text: "The support bundle is a zip file that holds:\n" +
              "\u2022 the run log, with local file and folder paths\n" +
              "\u2022 the settings\n" +
              "\u2022 the serial adapters on this machine, with their serial numbers\n" +
              "\u2022 the connected logger's identity and statistics\n" +
              "\u2022 the last minutes of serial traffic, which can include downloaded water-use data\n\n" +
              "Check it before you send it to anyone."
    }

    footer: DialogButtonBox {
        Button {
            objectName: "supportBundleContinue"
            text: "Continue"
            DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
        }
        Button {
            objectName: "supportBundleCancel"
            text: "Cancel"
            DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
        }
    }

    onClosed: destroy()
}
