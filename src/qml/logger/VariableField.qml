import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15
import "Variables.js" as Variables

// One persistent variable: its label, an editor for its kind, and "*" while the entry differs
// from what the logger holds.
RowLayout {
    id: row

    property var field
    property var stored
    property real pixelScale: 1.0

    readonly property var entry: field.kind === "choice" ? choiceBox.currentIndex : textField.text
    readonly property bool valid: Variables.parsed(field, entry) !== null
    readonly property bool dirty: Variables.differs(field, entry, stored)

    // The logger's value replaces the entry only when that value itself changes, so that a
    // change elsewhere in the lists never wipes an edit in progress.
    property var shownStored: undefined
    function takeStored() {
        if (stored === shownStored)
            return
        shownStored = stored
        if (field.kind === "choice")
            choiceBox.currentIndex = Variables.shown(field, stored)
        else
            textField.text = Variables.shown(field, stored)
    }
    // Later, not inside whatever binding read the new value: the entry feeds `dirty`.
    onStoredChanged: Qt.callLater(takeStored)
    Component.onCompleted: takeStored()

    function setEntry(value) {
        if (field.kind === "choice")
            choiceBox.currentIndex = value
        else
            textField.text = value
    }

    spacing: 8 * pixelScale

    Label {
        text: row.field.label
        horizontalAlignment: Text.AlignRight
        Layout.preferredWidth: 300 * row.pixelScale
    }
    TextField {
        id: textField
        objectName: "field_" + row.field.key
        visible: row.field.kind !== "choice"
        selectByMouse: true
        maximumLength: row.field.kind === "text" ? 32 : 12
        color: row.valid ? Material.foreground : "#ef5350"
        Layout.preferredWidth: 260 * row.pixelScale
    }
    ComboBox {
        id: choiceBox
        objectName: "choice_" + row.field.key
        visible: row.field.kind === "choice"
        model: Variables.choices
        Layout.preferredWidth: 260 * row.pixelScale
    }
    Label {
        objectName: "dirty_" + row.field.key
        text: row.dirty && row.enabled ? "*" : ""
        font.bold: true
        color: Material.accent
        Layout.preferredWidth: 14 * row.pixelScale
    }
}
