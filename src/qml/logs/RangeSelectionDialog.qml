import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "ViewerRules.js" as ViewerRules

// The chart's selection as two dates; edits apply at once, Cancel puts the old one back.
Dialog {
    id: dialog
    objectName: "rangeSelectionDialog"

    property var chart
    property real oldStart: -1
    property real oldEnd: -1

    title: "Edit Selection"
    modal: true
    parent: Overlay.overlay
    anchors.centerIn: parent
    standardButtons: Dialog.Ok | Dialog.Cancel

    readonly property string format: "yyyy-MM-dd HH:mm:ss"

    function binOf(text) {
        var d = Date.fromLocaleString(Qt.locale("C"), text, format)
        return isNaN(d.getTime()) ? NaN : chart.pulseLog.dateToBinF(d, chart.binMs)
    }
    function apply() {
        var s = binOf(startField.text), e = binOf(endField.text)
        if (isFinite(s) && isFinite(e) && e > s)
            chart.setSelection(Math.max(0, s), Math.min(chart.binCount, e))
    }

    Component.onCompleted: {
        oldStart = chart.selectionStart
        oldEnd = chart.selectionEnd
        var has = chart.hasSelection
        startField.text = chart.dateText(has ? Math.floor(chart.selectionStart) : 0)
        endField.text = chart.dateText(has ? Math.ceil(chart.selectionEnd) : chart.binCount)
    }
    onRejected: {
        if (oldStart >= 0)
            chart.setSelection(oldStart, oldEnd)
        else
            chart.clearSelection()
    }

    GridLayout {
        columns: 2
        Label { text: "Selection starts at" }
        TextField { id: startField; objectName: "selectionStartField"; onEditingFinished: dialog.apply() }
        Label { text: "Selection ends at" }
        TextField { id: endField; objectName: "selectionEndField"; onEditingFinished: dialog.apply() }
    }
}
