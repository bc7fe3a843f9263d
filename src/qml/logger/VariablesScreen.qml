import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import localdev 1.0
import "Variables.js" as Variables

// The logger's persistent variables: edited here, written and saved on the logger together.
Flickable {
    id: screen

    property TarrowindLogger logger: globals.tarrowindLogger
    property real pixelScale: globals.pixelScale

    readonly property TarrowindFirmware firmware: logger.firmware
    readonly property bool ready: firmware.connectionState === TarrowindFirmware.ConnectionState_Ready
    readonly property var stored16: firmware.persistents16
    readonly property var storedTexts: firmware.persistents256.map(function (v) { return firmware.qmlToString(v) })

    readonly property bool anyDirty: {
        for (var i = 0; i < rows.count; ++i)
            if (rows.itemAt(i) && rows.itemAt(i).dirty)
                return true
        return false
    }
    readonly property bool allValid: {
        for (var i = 0; i < rows.count; ++i)
            if (rows.itemAt(i) && !rows.itemAt(i).valid)
                return false
        return true
    }

    function fieldRow(key) {
        for (var i = 0; i < rows.count; ++i)
            if (rows.itemAt(i).field.key === key)
                return rows.itemAt(i)
        return null
    }

    // Writes every field into the logger's lists (only changed values go out) and makes them
    // permanent; nothing is written while any entry cannot be stored.
    function commit() {
        if (!ready)
            return false
        var entries = {}
        for (var i = 0; i < rows.count; ++i)
            entries[rows.itemAt(i).field.key] = rows.itemAt(i).entry
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
                Repeater {
                    id: rows
                    model: Variables.fields
                    VariableField {
                        field: modelData
                        stored: Variables.storedOf(modelData, screen.stored16, screen.storedTexts)
                        pixelScale: screen.pixelScale
                    }
                }
                Button {
                    objectName: "commitPersistentsButton"
                    text: "Commit Persistents"
                    enabled: screen.ready && screen.anyDirty && screen.allValid
                    Layout.alignment: Qt.AlignRight
                    onClicked: screen.commit()
                }
            }
        }
    }
}
