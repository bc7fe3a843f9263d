import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "ExportRules.js" as ExportRules
import "Units.js" as Units

// How pulses become volume in a grouped export: the unit, the mode and its one or two numbers.
GridLayout {
    id: fields

    property var dialog

    columns: 3
    columnSpacing: fields.dialog.columnSpacing

    Label { text: "Reading Volume Unit:"; Layout.preferredWidth: fields.dialog.labelWidth }
    ComboBox {
        objectName: "exportUnitBox"
        model: Units.names()
        currentIndex: Units.indexOf(fields.dialog.unit)
        onActivated: fields.dialog.unit = textAt(index)
        Layout.columnSpan: 2
    }
    Label { text: "Flow rate: "; Layout.preferredWidth: fields.dialog.labelWidth }
    ComboBox {
        objectName: "flowModeBox"
        model: ExportRules.modeNames(fields.dialog.unit)
        currentIndex: fields.dialog.mode
        onActivated: fields.dialog.mode = index
        Layout.columnSpan: 2
        Layout.preferredWidth: 320
    }
    Label { text: "Initial reading:"; visible: fields.dialog.mode <= 1; Layout.preferredWidth: fields.dialog.labelWidth }
    TextField {
        objectName: "initialReadingField"
        visible: fields.dialog.mode <= 1
        text: fields.dialog.initialText
        onTextChanged: fields.dialog.initialText = text
        Layout.columnSpan: 2
    }
    Label { text: "Ending reading:"; visible: fields.dialog.mode <= 1; Layout.preferredWidth: fields.dialog.labelWidth }
    TextField {
        objectName: "endingReadingField"
        visible: fields.dialog.mode <= 1
        text: fields.dialog.endingText
        onTextChanged: fields.dialog.endingText = text
        Layout.columnSpan: 2
    }
    Label {
        text: fields.dialog.mode === 2 ? "Pulses per unit:" : "Units per pulse:"
        Layout.preferredWidth: fields.dialog.labelWidth
    }
    TextField {
        objectName: "flowValueField"
        readOnly: fields.dialog.mode <= 1
        text: fields.dialog.mode === 2 ? fields.dialog.pulsesPerUnitText
            : fields.dialog.mode === 3 ? fields.dialog.unitsPerPulseText
            : ExportRules.shownNumber(fields.dialog.flow.unitsPerPulse)
        onTextChanged: {
            if (fields.dialog.mode === 2) fields.dialog.pulsesPerUnitText = text
            else if (fields.dialog.mode === 3) fields.dialog.unitsPerPulseText = text
        }
    }
    Label {
        objectName: "flowInvalid"
        color: "#ff8a80"
        text: ExportRules.invalidText(fields.dialog.mode, fields.dialog.initialText, fields.dialog.endingText,
                                      fields.dialog.mode === 2 ? fields.dialog.pulsesPerUnitText
                                                               : fields.dialog.unitsPerPulseText,
                                      fields.dialog.flow.valid)
    }
}
