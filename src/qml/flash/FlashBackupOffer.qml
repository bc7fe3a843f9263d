import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import Qt.labs.platform 1.1 as Platform
import localdev 1.0
import "Variables.js" as Variables

// Offered on the way to the flash tool while the logger's firmware still answers (the tool
// itself puts the logger into its bootloader at once): save every persistent variable to a
// file before the update, so they can be restored from the variables dialog afterwards.
Dialog {
    id: dialog

    property TarrowindFirmware firmware: globals.tarrowindLogger.firmware
    property QtObject host: globals.host
    property string backupFolder: globals.settings.logSettings.folder
    property real pixelScale: globals.pixelScale
    property VariablesBackup backup: VariablesBackup { firmware: dialog.firmware }

    readonly property string serialNumber: firmware.permanents256.length > 0
                                           ? firmware.qmlToString(firmware.permanents256[0]) : ""

    // Tests (and the file dialog) start the backup here.
    function backupTo(file) {
        return backup.beginBackup(file)
    }
    function proceed() {
        close()
        globals.globalTrigger("logger.flashutility.now")
    }

    objectName: "flashBackupOffer"
    title: "Back up variables first"
    modal: true
    // Escape closes a popup only while it has the focus.
    focus: true
    x: parent ? (parent.width - width) / 2 : 0
    y: parent ? (parent.height - height) / 3 : 0
    width: Math.min(parent ? parent.width * 0.9 : 600, 620 * pixelScale)
    closePolicy: Popup.CloseOnEscape

    ColumnLayout {
        anchors.left: parent.left
        anchors.right: parent.right
        Label {
            text: "The Flash Tool restarts the logger in its bootloader. Save the logger's persistent "
                  + "variables to a file first, so that they can be restored from the Logger Variables "
                  + "dialog after the update."
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        RowLayout {
            BusyIndicator {
                running: dialog.backup.busy
                visible: running
                Layout.preferredHeight: 32 * dialog.pixelScale
                Layout.preferredWidth: 32 * dialog.pixelScale
            }
            Label {
                objectName: "flashBackupResultText"
                textFormat: Text.PlainText
                visible: text !== ""
                text: dialog.backup.busy ? "Backing up..." : dialog.backup.resultText
                color: dialog.backup.busy ? "#bdbdbd" : "#ef5350"
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
        }
    }

    footer: DialogButtonBox {
        Button {
            objectName: "backupFirstButton"
            text: "Back up variables first"
            enabled: !dialog.backup.busy
            onClicked: backupDialog.open()
        }
        Button {
            objectName: "skipBackupButton"
            text: "Continue Without Backup"
            enabled: !dialog.backup.busy
            onClicked: dialog.proceed()
        }
        Button {
            text: "Cancel"
            enabled: !dialog.backup.busy
            onClicked: dialog.close()
        }
    }

    onClosed: destroy()

    Connections {
        target: dialog.backup
        function onFinished(success, resultText) {
            // A failed backup stays on show: the user decides whether to go on without one.
            if (!success)
                return
            globals.globalMessage(1, resultText)
            dialog.proceed()
        }
    }
    Connections {
        target: dialog.firmware
        // Nothing to back up once the logger is gone; the tool is still reachable from the menu.
        function onConnectionStateChanged() {
            if (!dialog.backup.busy && dialog.firmware.connectionState !== TarrowindFirmware.ConnectionState_Ready
                    && dialog.backup.status !== VariablesBackup.Status_Failed)
                dialog.close()
        }
    }

    Platform.FileDialog {
        id: backupDialog
        title: "Back up the logger's variables"
        fileMode: Platform.FileDialog.SaveFile
        nameFilters: ["Variables backup (*.json)", "All files (*)"]
        defaultSuffix: "json"
        folder: dialog.host ? dialog.host.urlFromLocalFile(dialog.backupFolder) : ""
        currentFile: dialog.host
                     ? dialog.host.urlFromLocalFile(dialog.backupFolder + "/"
                                                    + Variables.backupFileName(dialog.serialNumber, dialog.firmware.uniqueId))
                     : ""
        onAccepted: dialog.backupTo(file)
    }
}
