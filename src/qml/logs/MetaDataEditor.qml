import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import localdev 1.0
import "MetaDataRules.js" as MetaDataRules

// Every metadata field of a log; each edit writes the whole map back.
Dialog {
    id: dialog
    objectName: "metaDataEditor"

    property PulseLog pulseLog
    property var rows: MetaDataRules.rows(pulseLog.fixedFieldNames, pulseLog.metaData)

    title: "Meta Data"
    modal: true
    parent: Overlay.overlay
    anchors.centerIn: parent
    standardButtons: Dialog.Close
    width: Math.min(parent.width * 0.9, 640)
    height: Math.min(parent.height * 0.9, 700)

    function write(key, value) {
        var m = pulseLog.metaData
        m[key] = value
        pulseLog.metaData = m
    }
    function remove(key) {
        var m = pulseLog.metaData
        delete m[key]
        pulseLog.metaData = m
        rows = MetaDataRules.rows(pulseLog.fixedFieldNames, pulseLog.metaData)
    }
    function addField() {
        var name = newName.text.trim()
        if (name === "")
            return
        if (MetaDataRules.exists(pulseLog.metaData, pulseLog.fixedFieldNames, name)) {
            globals.globalMessage(0, "Field already exists")
            return
        }
        write(name, "")
        newName.text = ""
        rows = MetaDataRules.rows(pulseLog.fixedFieldNames, pulseLog.metaData)
    }

    ColumnLayout {
        anchors.fill: parent
        ListView {
            objectName: "metaDataRows"
            model: dialog.rows
            clip: true
            Layout.fillWidth: true
            Layout.fillHeight: true
            delegate: MetaDataRow {
                width: ListView.view.width
                key: modelData.key
                kind: modelData.kind
                removable: !modelData.fixed
                value: dialog.pulseLog.metaData[modelData.key] !== undefined
                       ? String(dialog.pulseLog.metaData[modelData.key]) : ""
                onEdited: dialog.write(key, newValue)
                onRemoveRequested: dialog.remove(key)
            }
        }
        RowLayout {
            TextField {
                id: newName
                objectName: "newFieldName"
                placeholderText: "custom field name"
                Layout.fillWidth: true
                onAccepted: dialog.addField()
            }
            Button { objectName: "addFieldButton"; text: "Add"; onClicked: dialog.addField() }
        }
    }
}
