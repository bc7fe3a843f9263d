import QtQuick 2.15
import QtQuick.Controls 2.15

// The program's version, what it is built from under which licences, and where its logs are.
Dialog {
    id: dialog

    property QtObject host: globals.host
    property QtObject settings: globals.settings

    objectName: "aboutDialog"
    title: "About " + Qt.application.name
    modal: true
    focus: true
    x: parent ? (parent.width - width) / 2 : 0
    y: parent ? (parent.height - height) / 3 : 0
    width: Math.min(Math.min(contents.implicitWidth, 560) + leftPadding + rightPadding, parent ? parent.width - 24 : 600)
    closePolicy: Popup.CloseOnEscape
    standardButtons: Dialog.Close

    Label {
        id: contents
        objectName: "aboutText"
        width: dialog.availableWidth
        wrapMode: Text.Wrap
        textFormat: Text.PlainText
        text: Qt.application.name + " " + Qt.application.version + "\n\n" +
              "Built with Qt 5.15 (GNU LGPL version 3) and libxlsxwriter (BSD 2-clause licence).\n" +
              "Fonts: Source Code Pro (SIL Open Font License 1.1) and creep2 (MIT licence).\n\n" +
              "Saved logs: " + (dialog.settings ? dialog.settings.logSettings.folder : "") + "\n" +
              "Run log and adapter repair log: " +
              (dialog.host ? dialog.host.parentFolder(dialog.host.repairLogPath()) : "")
    }

    onClosed: destroy()
}
