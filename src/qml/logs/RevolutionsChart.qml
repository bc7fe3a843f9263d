import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import localdev 1.0
import "ViewerRules.js" as ViewerRules

// Pulses per time bin with zoom, scrolling, hover and a selection kept in whole-log bins.
ColumnLayout {
    id: chart

    property PulseLog pulseLog
    property real pixelScale: 1
    property int binMs: 10000
    property var flowDisplay: ViewerRules.display(0, NaN)
    property int binCount: 0
    property real zoom: 1
    property real centre: 0.5
    // The selection in bins of the whole log; -1 when there is none.
    property real selectionStart: -1
    property real selectionEnd: -1
    property string selectionText: ""
    readonly property var view: ViewerRules.visibleBins(binCount, zoom, centre)
    readonly property bool hasSelection: selectionStart >= 0 && selectionEnd > selectionStart
    readonly property alias graph: bars

    signal unitLabelClicked()

    function redraw() {
        if (!pulseLog)
            return
        binCount = pulseLog.timeBinCount(binMs)
        var z = Math.min(zoom, ViewerRules.maxZoom(binCount))
        if (z !== zoom)
            zoom = z
        var v = ViewerRules.visibleBins(binCount, zoom, centre)
        var series = pulseLog.asTimeBinsQml(binMs, pulseLog.binToDate(v.left, binMs), pulseLog.binToDate(v.right, binMs))
        bars.dataPoints = series
        bars.maxX = Math.max(1, bars.dataPointsLength())
        var top = Math.max(0.0001, pulseLog.timeBinMaximumPulseCount(binMs))
        bars.maxY = top
        bars.axisLabelsY = ["0", ViewerRules.flowTop(top, flowDisplay, binMs / 1000)]
        bars.labelY = ViewerRules.axisLabel(flowDisplay)
        bars.axisLabelsX = [dateText(v.left), dateText(v.right)]
        showSelection()
    }

    function dateText(bin) {
        var d = pulseLog.binToDate(bin, binMs)
        return isNaN(d.getTime()) ? "" : Qt.formatDateTime(d, "yyyy-MM-dd HH:mm:ss")
    }

    function zoomBy(amount, fraction) {
        var r = ViewerRules.zoomBy(binCount, zoom, centre, amount, fraction)
        zoom = r.zoom
        centre = r.centre
    }

    function setSelection(startBin, endBin) {
        selectionStart = Math.min(startBin, endBin)
        selectionEnd = Math.max(startBin, endBin)
        showSelection()
    }

    function clearSelection() {
        selectionStart = selectionEnd = -1
        showSelection()
    }

    function selectionDates() {
        return hasSelection ? [pulseLog.binToDate(Math.floor(selectionStart), binMs),
                               pulseLog.binToDate(Math.ceil(selectionEnd), binMs)] : null
    }

    function showSelection() {
        if (!pulseLog || !hasSelection) {
            selectionText = ""
            // The graph's own "no selection" mark.
            bars.selectionStart = bars.selectionEnd = -Number.MAX_VALUE
            return
        }
        var first = Math.floor(selectionStart), last = Math.ceil(selectionEnd)
        var series = pulseLog.asTimeBinsQml(binMs, pulseLog.binToDate(first, binMs), pulseLog.binToDate(last, binMs))
        var extremes = pulseLog.dataSeriesStats(series, 0, last - first)
        var sum = pulseLog.pulseCountInRange(pulseLog.binToDate(first, binMs), pulseLog.binToDate(last, binMs))
        selectionText = ViewerRules.selectionLines({ sum: sum, max: extremes.maxCount, min: extremes.minCount,
                                                     bins: last - first }, binMs / 1000, flowDisplay)
        bars.selectionStart = selectionStart - view.left
        bars.selectionEnd = selectionEnd - view.left
        bars.selectionHeader = selectionText
    }

    BarGraph {
        id: bars
        objectName: "revolutionsGraph"
        Layout.fillWidth: true
        Layout.fillHeight: true
        barColor: "#4fc3f7"
        minX: 0
        minY: 0
        selectionEnabled: true
        labelPixelSize: 14 * chart.pixelScale
        rangeLabelPixelSize: 12 * chart.pixelScale
        // The first and last visible dates sit below the axis (0.8 of a line down, a line
        // tall): room for them, which the axis title alone would not leave.
        minBottomMargin: Math.ceil(2.4 * rangeLabelPixelSize) + 2
        // A new drag starts a new selection.
        onMouseGrabbedChanged: {
            if (mouseGrabbed) {
                chart.selectionStart = chart.selectionEnd = -1
                chart.selectionText = ""
            }
        }
        onSelectionEndChanged: {
            if (mouseGrabbed && selectionEnd !== selectionStart)
                chart.setSelection(selectionStart + chart.view.left, selectionEnd + chart.view.left)
        }
        onBarHoveredIndexChanged: {
            if (barHoveredIndex < 0 || !chart.pulseLog)
                return
            var bin = chart.view.left + barHoveredIndex
            var count = chart.pulseLog.pulseCountInRange(chart.pulseLog.binToDate(bin, chart.binMs),
                                                         chart.pulseLog.binToDate(bin + 1, chart.binMs))
            barHoveredFooter = chart.dateText(bin)
            barHoveredHeader = ViewerRules.intervalHeader(count, chart.binMs / 1000, chart.flowDisplay)
        }

        MouseArea {
            anchors.fill: parent
            acceptedButtons: Qt.NoButton
            onWheel: {
                var plot = bars.plotRect()
                chart.zoomBy(wheel.angleDelta.y / 600, ViewerRules.plotFraction(wheel.x, plot.x, plot.width))
                wheel.accepted = true
            }
        }
        MouseArea {
            id: unitLabel
            objectName: "unitLabelArea"
            width: 40 * chart.pixelScale
            anchors.top: parent.top
            anchors.bottom: parent.bottom
            anchors.left: parent.left
            onClicked: chart.unitLabelClicked()
        }
    }

    ScrollBar {
        objectName: "zoomScrollBar"
        orientation: Qt.Horizontal
        policy: ScrollBar.AlwaysOn
        size: 1 / chart.zoom
        position: ViewerRules.scrollPosition(chart.zoom, chart.centre)
        Layout.fillWidth: true
        onPositionChanged: if (pressed) chart.centre = ViewerRules.centreFromScroll(chart.zoom, position)
    }
}
