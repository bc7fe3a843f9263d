import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import Qt.labs.platform 1.1 as Platform
import localdev 1.0
import "Variables.js" as Variables

// The logger's persistent variables: edited here, written and saved on the logger together.
Flickable {
    id: screen
    objectName: "variablesScreen"

    property TarrowindLogger logger: globals.tarrowindLogger
    property real pixelScale: globals.pixelScale
    property QtObject host: globals.host
    property string backupFolder: globals.settings.logSettings.folder
    property VariablesBackup backup: VariablesBackup { firmware: screen.firmware }

    readonly property TarrowindFirmware firmware: logger.firmware
    readonly property bool ready: firmware.connectionState === TarrowindFirmware.ConnectionState_Ready
    readonly property var stored16: firmware.persistents16
    readonly property var storedTexts: firmware.persistents256.map(function (v) { return firmware.qmlToString(v) })

    // The field rows (declared one by one so that each is a child a test can find by name).
    readonly property var rows: {
        var found = []
        for (var i = 0; i < fieldColumn.children.length; ++i)
            if (fieldColumn.children[i].field !== undefined)
                found.push(fieldColumn.children[i])
        return found
    }
    readonly property bool anyDirty: rows.some(function (r) { return r.dirty })
    readonly property bool allValid: rows.every(function (r) { return r.valid })
    readonly property string serialNumber: firmware.permanents256.length > 0
                                           ? firmware.qmlToString(firmware.permanents256[0]) : ""

    // Writes every field into the logger's lists (only changed values go out) and makes them
    // permanent; nothing is written while any entry cannot be stored.
    function commit() {
        if (!ready || backup.busy)
            return false
        var entries = {}
        for (var i = 0; i < rows.length; ++i)
            entries[rows[i].field.key] = rows[i].entry
        var lists = Variables.commitLists(entries, stored16, storedTexts)
        if (!lists)
            return false
        firmware.persistents16 = lists.persistents16
        firmware.persistents256 = lists.persistentTexts.map(function (t) { return firmware.qmlToPersistent256(t) })
        firmware.sendSavePersistents()
        return true
    }

    enabled: ready
    contentHeight: column.implicitHeight
    clip: true
    ScrollBar.vertical: ScrollBar {}

    ColumnLayout {
        id: column
        width: screen.width

        GroupBox {
            title: "Persistents"
            Layout.alignment: Qt.AlignHCenter

            ColumnLayout {
                id: fieldColumn
                VariableField {
                    field: Variables.field("deviceName")
                    stored: Variables.storedOf(field, screen.stored16, screen.storedTexts)
                    pixelScale: screen.pixelScale
                }
                VariableField {
                    field: Variables.field("jobName")
                    stored: Variables.storedOf(field, screen.stored16, screen.storedTexts)
                    pixelScale: screen.pixelScale
                }
                VariableField {
                    field: Variables.field("keepalive")
                    stored: Variables.storedOf(field, screen.stored16, screen.storedTexts)
                    pixelScale: screen.pixelScale
                }
                VariableField {
                    field: Variables.field("flashLogging")
                    stored: Variables.storedOf(field, screen.stored16, screen.storedTexts)
                    pixelScale: screen.pixelScale
                }
                VariableField {
                    field: Variables.field("commitMinutes")
                    stored: Variables.storedOf(field, screen.stored16, screen.storedTexts)
                    pixelScale: screen.pixelScale
                }
                VariableField {
                    field: Variables.field("debugSamples")
                    stored: Variables.storedOf(field, screen.stored16, screen.storedTexts)
                    pixelScale: screen.pixelScale
                }
                VariableField {
                    field: Variables.field("pulseOut")
                    stored: Variables.storedOf(field, screen.stored16, screen.storedTexts)
                    pixelScale: screen.pixelScale
                }
                VariableField {
                    field: Variables.field("pulseDuration")
                    stored: Variables.storedOf(field, screen.stored16, screen.storedTexts)
                    pixelScale: screen.pixelScale
                }
                VariableField {
                    field: Variables.field("pulseGap")
                    stored: Variables.storedOf(field, screen.stored16, screen.storedTexts)
                    pixelScale: screen.pixelScale
                }
                VariableField {
                    field: Variables.field("divider")
                    stored: Variables.storedOf(field, screen.stored16, screen.storedTexts)
                    pixelScale: screen.pixelScale
                }
                VariableField {
                    field: Variables.field("bufferCount")
                    stored: Variables.storedOf(field, screen.stored16, screen.storedTexts)
                    pixelScale: screen.pixelScale
                }
                Button {
                    objectName: "commitPersistentsButton"
                    text: "Commit Persistents"
                    // Not while a restore writes: its values are not the user's to save.
                    enabled: screen.ready && screen.anyDirty && screen.allValid && !screen.backup.busy
                    Layout.alignment: Qt.AlignRight
                    onClicked: screen.commit()
                }
            }
        }

        // Every persistent variable to a file and back, e.g. around a firmware update or onto
        // a replacement logger.
        GroupBox {
            title: "Backup"
            Layout.alignment: Qt.AlignHCenter
            Layout.preferredWidth: fieldColumn.implicitWidth + leftPadding + rightPadding

            ColumnLayout {
                anchors.left: parent.left
                anchors.right: parent.right
                RowLayout {
                    Button {
                        objectName: "backupButton"
                        text: "Back Up..."
                        enabled: screen.ready && !screen.backup.busy
                        onClicked: backupDialog.open()
                    }
                    Button {
                        objectName: "restoreButton"
                        text: "Restore..."
                        enabled: screen.ready && !screen.backup.busy
                        onClicked: restoreDialog.open()
                    }
                    BusyIndicator {
                        running: screen.backup.busy
                        visible: running
                        Layout.preferredHeight: 32 * screen.pixelScale
                        Layout.preferredWidth: 32 * screen.pixelScale
                    }
                }
                Label {
                    objectName: "backupResultText"
                    textFormat: Text.PlainText
                    visible: text !== ""
                    text: screen.backup.busy ? "" : screen.backup.resultText
                    color: screen.backup.status === VariablesBackup.Status_Succeeded ? "#66bb6a" : "#ef5350"
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
            }
        }
    }

    Platform.FileDialog {
        id: backupDialog
        title: "Back up the logger's variables"
        fileMode: Platform.FileDialog.SaveFile
        nameFilters: ["Variables backup (*.json)", "All files (*)"]
        defaultSuffix: "json"
        folder: screen.host ? screen.host.urlFromLocalFile(screen.backupFolder) : ""
        currentFile: screen.host
                     ? screen.host.urlFromLocalFile(screen.backupFolder + "/"
                                                    + Variables.backupFileName(screen.serialNumber, screen.firmware.uniqueId))
                     : ""
        onAccepted: screen.backup.beginBackup(file)
    }
    Platform.FileDialog {
        id: restoreDialog
        title: "Restore the logger's variables"
        fileMode: Platform.FileDialog.OpenFile
        nameFilters: ["Variables backup (*.json)", "All files (*)"]
        folder: screen.host ? screen.host.urlFromLocalFile(screen.backupFolder) : ""
        onAccepted: screen.backup.beginRestore(file)
    }
}
