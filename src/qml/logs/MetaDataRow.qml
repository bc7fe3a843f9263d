import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "Units.js" as Units

// One metadata field with the editor its kind calls for.
RowLayout {
    id: row

    property string key
    // "make", "unit", "reading" or "text"
    property string kind: "text"
    property string value
    property bool removable: false

    signal edited(string newValue)
    signal removeRequested()

    Label { text: row.key + ":"; textFormat: Text.PlainText; Layout.preferredWidth: 180 }
    ComboBox {
        visible: row.kind === "make" || row.kind === "unit"
        editable: true
        model: row.kind === "make" ? ["Badger", "DAE", "Neptune", "Master Meter"] : Units.names()
        editText: row.value
        onAccepted: row.edited(editText)
        onActivated: row.edited(textAt(index))
        Layout.fillWidth: true
    }
    TextField {
        visible: row.kind === "reading" || row.kind === "text"
        text: row.value
        validator: row.kind === "reading" ? numberValidator : null
        onEditingFinished: if (text !== row.value) row.edited(text)
        Layout.fillWidth: true
    }
    RegularExpressionValidator { id: numberValidator; regularExpression: /^$|^[0-9]*\.?[0-9]*$/ }
    Button {
        visible: row.removable
        text: "\u2715"
        onClicked: row.removeRequested()
    }
}
