import QtQuick 2.15
import QtQuick.Controls 2.15
import "Units.js" as Units

// The meter readings that turn pulses into volume, edited in place. Wraps on a narrow window
// rather than pushing the chart beyond it.
Flow {
    id: row

    property real pixelScale: 1
    property var metaData: ({})

    signal edited(string key, var value)
    signal editAll()

    spacing: 8 * pixelScale

    Row {
        spacing: row.spacing
        Label { text: "Meter Unit:"; height: unitBox.height; verticalAlignment: Text.AlignVCenter }
        ComboBox {
            id: unitBox
            objectName: "meterUnitBox"
            editable: true
            model: Units.names()
            // Only the log's own unit, never the list's first entry: a log without one shows none,
            // however it was opened.
            currentIndex: Units.indexOf(row.metaData["Meter Reading Unit"])
            editText: row.metaData["Meter Reading Unit"] !== undefined ? String(row.metaData["Meter Reading Unit"]) : ""
            onAccepted: row.edited("Meter Reading Unit", editText)
            onActivated: row.edited("Meter Reading Unit", textAt(index))
            width: 180 * row.pixelScale
        }
    }
    Row {
        spacing: row.spacing
        Label { text: "Meter Reading Start:"; height: startField.height; verticalAlignment: Text.AlignVCenter }
        ReadingField {
            id: startField
            objectName: "readingStartField"
            key: "Meter Reading Start"
            metaData: row.metaData
            onCommitted: row.edited(key, value)
            width: 110 * row.pixelScale
        }
    }
    Row {
        spacing: row.spacing
        Label { text: "Meter Reading End:"; height: endField.height; verticalAlignment: Text.AlignVCenter }
        ReadingField {
            id: endField
            objectName: "readingEndField"
            key: "Meter Reading End"
            metaData: row.metaData
            onCommitted: row.edited(key, value)
            width: 110 * row.pixelScale
        }
    }
    Button {
        objectName: "editMetadataButton"
        text: "Edit All Metadata"
        onClicked: row.editAll()
    }
}
