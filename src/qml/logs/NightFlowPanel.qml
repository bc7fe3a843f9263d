import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import localdev 1.0
import "NightFlowRules.js" as NightFlowRules

// The minimum night flow of every night and the continuous-leak flags as a small table under the
// revolutions chart, and the leak stretches marked on the chart. The analysis runs again only
// when the log itself changed.
ColumnLayout {
    id: panel

    property PulseLog pulseLog
    // The RevolutionsChart whose bars get the marks.
    property var chart: null
    property var flowDisplay
    property int binMs: 10000
    property real pixelScale: 1
    property var result: ({ nights: [], leaks: [], tooLong: false })
    property bool stale: true
    readonly property string unitLabel: NightFlowRules.unitLabel(flowDisplay)

    spacing: 2 * pixelScale

    function redraw() {
        if (!pulseLog || !stale)
            return
        result = pulseLog.nightFlow()
        stale = false
    }

    onPulseLogChanged: stale = true
    Connections {
        target: panel.pulseLog
        function onPulseLogChanged() { panel.stale = true }
    }

    Label {
        objectName: "nightFlowSummary"
        font.bold: true
        text: panel.result.tooLong ? "Night flow: the log spans too many years to analyse"
              : panel.result.nights.length === 0 ? "Night flow: no complete night (00:00 to 05:00) in this log"
              : "Minimum night flow (lowest hour from 00:00 to 05:00)"
        Layout.fillWidth: true
        elide: Text.ElideRight
    }
    Label {
        objectName: "leakSummary"
        visible: panel.result.leaks.length > 0
        text: "Continuous flow for 24 hours or more (a leak?): " + panel.result.leaks.length
              + (panel.result.leaks.length === 1 ? " stretch" : " stretches") + ", marked red on the chart"
        color: "#e53935"
        Layout.fillWidth: true
        elide: Text.ElideRight
    }

    ListView {
        id: table
        objectName: "nightFlowTable"
        visible: panel.result.nights.length > 0
        model: panel.result.nights
        clip: true
        interactive: contentHeight > height
        Layout.fillWidth: true
        Layout.preferredHeight: (Math.min(count, 4) + 1) * rowHeight
        readonly property real rowHeight: 20 * panel.pixelScale
        readonly property var columns: [120 * panel.pixelScale, 280 * panel.pixelScale, 110 * panel.pixelScale]
        ScrollBar.vertical: ScrollBar { policy: table.interactive ? ScrollBar.AlwaysOn : ScrollBar.AsNeeded }
        headerPositioning: ListView.OverlayHeader
        header: Pane {
            width: table.width
            height: table.rowHeight
            padding: 0
            z: 2
            Row {
                anchors.fill: parent
                Label { width: table.columns[0]; text: "Night"; font.bold: true }
                Label { width: table.columns[1]; text: "Minimum (" + panel.unitLabel + ")"; font.bold: true }
                Label { width: table.columns[2]; text: "Lowest hour"; font.bold: true }
                Label { text: "Leak"; font.bold: true }
            }
        }
        delegate: Row {
            height: table.rowHeight
            Label { id: dateLabel; width: table.columns[0]; text: modelData.date }
            Label { width: table.columns[1]; text: NightFlowRules.flowValue(modelData.minimumPulses, panel.flowDisplay) }
            Label { width: table.columns[2]; text: Qt.formatDateTime(modelData.minimumHour, "HH:mm") }
            Label {
                text: modelData.leak ? "Continuous flow" : "\u2014"
                color: modelData.leak ? "#e53935" : dateLabel.color
                font.bold: modelData.leak
            }
        }
    }

    // Leak stretches over the bars, in the graph's plot area.
    Repeater {
        model: panel.chart && panel.visible ? panel.result.leaks : []
        delegate: Rectangle {
            readonly property var graph: panel.chart.graph
            readonly property rect area: { graph.width; graph.height; graph.maxX; graph.axisLabelsY; return graph.plotRect() }
            readonly property var span: NightFlowRules.markSpan(panel.pulseLog.dateToBinF(modelData.start, panel.binMs),
                                                               panel.pulseLog.dateToBinF(modelData.end, panel.binMs),
                                                               panel.chart.view)
            objectName: "leakMark"
            parent: graph
            visible: span !== null
            x: span ? area.x + span.from * area.width : 0
            width: span ? Math.max(1, (span.to - span.from) * area.width) : 0
            y: area.y
            height: area.height
            color: "#26e53935"
            border.color: "#c62828"
            border.width: 1
            Label {
                anchors.top: parent.top
                anchors.horizontalCenter: parent.horizontalCenter
                anchors.topMargin: 2
                visible: parent.width > width + 4
                text: "Leak " + Math.round(modelData.hours) + " h"
                color: "#c62828"
                font.pixelSize: 11 * panel.pixelScale
            }
        }
    }
}
