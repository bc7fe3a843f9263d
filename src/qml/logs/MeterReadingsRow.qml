import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "Units.js" as Units

// The meter readings that turn pulses into volume, edited in place.
RowLayout {
    id: row

    property real pixelScale: 1
    property var metaData: ({})

    signal edited(string key, var value)
    signal editAll()

    spacing: 8 * pixelScale

    Label { text: "Meter Unit:" }
    ComboBox {
        objectName: "meterUnitBox"
        editable: true
        model: Units.names()
        editText: row.metaData["Meter Reading Unit"] !== undefined ? String(row.metaData["Meter Reading Unit"]) : ""
        onAccepted: row.edited("Meter Reading Unit", editText)
        onActivated: row.edited("Meter Reading Unit", textAt(index))
        Layout.preferredWidth: 180 * row.pixelScale
    }
    Label { text: "Meter Reading Start:" }
    ReadingField {
        objectName: "readingStartField"
        key: "Meter Reading Start"
        metaData: row.metaData
        onCommitted: row.edited(key, value)
        Layout.preferredWidth: 110 * row.pixelScale
    }
    Label { text: "Meter Reading End:" }
    ReadingField {
        objectName: "readingEndField"
        key: "Meter Reading End"
        metaData: row.metaData
        onCommitted: row.edited(key, value)
        Layout.preferredWidth: 110 * row.pixelScale
    }
    Button {
        objectName: "editMetadataButton"
        text: "Edit All Metadata"
        onClicked: row.editAll()
    }
    Item { Layout.fillWidth: true }
}
