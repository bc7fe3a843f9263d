import QtQuick 2.15
import localdev 1.0

// Voltage or temperature of a log as a line over time.
LineGraph {
    id: chart

    property PulseLog pulseLog
    // "Input Voltage" or "Temperature"
    property string series: "Input Voltage"
    property string temperatureUnit: "Fahrenheit"
    property real pixelScale: 1

    readonly property bool celsius: temperatureUnit === "Celcius"

    lineColor: series === "Temperature" ? "orange" : "yellow"
    labelY: series === "Temperature" ? (celsius ? "\u00b0C" : "\u00b0F") : "Voltage"
    autoUpdateXMin: true
    autoUpdateXMax: true
    autoUpdateYMin: false
    autoUpdateYMax: true
    minY: series === "Temperature" ? (celsius ? -10 : 14) : 0
    labelPixelSize: 14 * pixelScale
    rangeLabelPixelSize: 12 * pixelScale

    function redraw() {
        if (!pulseLog)
            return
        var points = series === "Temperature"
            ? (celsius ? pulseLog.temperatureDataVL() : pulseLog.temperatureFahrenheitDataVL())
            : pulseLog.voltageDataVL()
        dataPoints = points
        var first = points.length > 0 ? pulseLog.enviroSecondsToDateTime(points[0].x) : new Date(NaN)
        var last = points.length > 0 ? pulseLog.enviroSecondsToDateTime(points[points.length - 1].x) : new Date(NaN)
        axisLabelsX = [Qt.formatDateTime(first, "yyyy-MM-dd HH:mm:ss"), Qt.formatDateTime(last, "yyyy-MM-dd HH:mm:ss")]
    }
}
