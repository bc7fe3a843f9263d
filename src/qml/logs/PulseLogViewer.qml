import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import localdev 1.0
import "ViewerRules.js" as ViewerRules
import "Units.js" as Units

// One pulse log as charts: revolutions (with flow units from the meter readings), voltage,
// temperature; selection, metadata and export from here.
Item {
    id: viewer
    objectName: "pulseLogViewer"

    property PulseLog pulseLog
    // Set while the log is still arriving from the logger.
    property SessionDownloader downloader: null
    property string fullFilename: ""
    property Settings settings: globals.settings
    property QtObject host: globals.host
    property real pixelScale: globals.pixelScale

    readonly property string headerTitle: "Viewing Log: " + (host ? host.filenameFromFile(fullFilename) : fullFilename)
    readonly property bool downloading: downloader !== null && downloader.downloading
    property string chartName: "Metered Revolutions"
    property string groupingText: "10"
    readonly property int binMs: ViewerRules.binMilliseconds(groupingText)
    property int displayMode: ViewerRules.defaultDisplay
    property var metaData: pulseLog ? pulseLog.metaData : ({})
    property int totalPulses: 0
    readonly property var flowDisplay:
        ViewerRules.display(displayMode, ViewerRules.gallonsPerPulse(metaData, totalPulses))

    function scheduleRedraw() { redrawTimer.restart() }
    function redraw() {
        if (!pulseLog)
            return
        totalPulses = pulseLog.totalPulseCount
        if (chartName === "Metered Revolutions")
            revolutions.redraw()
        else
            environment.redraw()
        if (chartName === "Metered Revolutions")
            nightFlow.redraw()
    }
    function writeMeta(key, value) {
        var m = pulseLog.metaData
        m[key] = value
        pulseLog.metaData = m
    }
    function openDialog(document, properties) {
        var component = Qt.createComponent(document)
        if (component.status !== Component.Ready) {
            console.warn("Cannot open " + document + ": " + component.errorString())
            return null
        }
        var dialog = component.createObject(viewer, properties)
        dialog.closed.connect(dialog.destroy)
        dialog.open()
        return dialog
    }

    Timer {
        id: redrawTimer
        objectName: "redrawTimer"
        interval: viewer.downloading ? 200 : 10
        onTriggered: viewer.redraw()
    }
    onBinMsChanged: scheduleRedraw()
    onChartNameChanged: scheduleRedraw()
    onFlowDisplayChanged: scheduleRedraw()
    onPulseLogChanged: scheduleRedraw()
    Connections {
        target: viewer.pulseLog
        function onPulseLogChanged() { viewer.scheduleRedraw() }
        function onMetaDataChanged() { viewer.metaData = viewer.pulseLog.metaData; viewer.scheduleRedraw() }
    }
    Connections {
        target: revolutions
        function onZoomChanged() { viewer.scheduleRedraw() }
        function onCentreChanged() { viewer.scheduleRedraw() }
    }
    Component.onCompleted: scheduleRedraw()

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 10 * viewer.pixelScale

        Flow {
            Layout.fillWidth: true
            spacing: 8 * viewer.pixelScale
            Button { objectName: "backButton"; text: "Back"; onClicked: globals.globalTrigger("screen.pop") }
            Label { text: "Chart:"; height: chartBox.height; verticalAlignment: Text.AlignVCenter }
            ComboBox {
                id: chartBox
                objectName: "chartBox"
                model: ["Metered Revolutions", "Input Voltage", "Temperature"]
                onActivated: viewer.chartName = textAt(index)
                width: 220 * viewer.pixelScale
            }
            Label { text: "Grouping Interval (s): "; height: chartBox.height; verticalAlignment: Text.AlignVCenter }
            TextField {
                objectName: "groupingField"
                text: viewer.groupingText
                width: 70 * viewer.pixelScale
                onTextChanged: viewer.groupingText = text
            }
            Button {
                objectName: "selectTimerangeButton"
                text: "Select Timerange"
                enabled: !viewer.downloading
                onClicked: viewer.openDialog("RangeSelectionDialog.qml", { chart: revolutions })
            }
            Button {
                objectName: "exportButton"
                text: "Export"
                enabled: !viewer.downloading
                onClicked: viewer.openDialog("ExportDialog.qml", {
                    pulseLog: viewer.pulseLog, fullFilename: viewer.fullFilename,
                    selection: revolutions.selectionDates() })
            }
            Button { objectName: "zoomInButton"; text: "+"; onClicked: revolutions.zoomBy(0.4, 0.5) }
            Button { objectName: "zoomOutButton"; text: "\u2212"; onClicked: revolutions.zoomBy(-0.4, 0.5) }
            BusyIndicator {
                running: viewer.downloading
                visible: running
                height: chartBox.height
                width: height
            }
            Label {
                objectName: "downloadingLabel"
                text: "(Downloading)"
                visible: viewer.downloading
                height: chartBox.height
                verticalAlignment: Text.AlignVCenter
            }
        }

        MeterReadingsRow {
            visible: viewer.chartName === "Metered Revolutions"
            pixelScale: viewer.pixelScale
            metaData: viewer.metaData
            Layout.fillWidth: true
            onEdited: viewer.writeMeta(key, value)
            onEditAll: viewer.openDialog("MetaDataEditor.qml", { pulseLog: viewer.pulseLog })
        }

        Label {
            objectName: "selectionText"
            text: revolutions.selectionText
            visible: text !== "" && viewer.chartName === "Metered Revolutions"
        }

        RevolutionsChart {
            id: revolutions
            objectName: "revolutionsChart"
            pulseLog: viewer.pulseLog
            pixelScale: viewer.pixelScale
            binMs: viewer.binMs
            flowDisplay: viewer.flowDisplay
            visible: viewer.chartName === "Metered Revolutions"
            Layout.fillWidth: true
            Layout.fillHeight: true
            onUnitLabelClicked: viewer.displayMode = ViewerRules.nextDisplay(viewer.displayMode)
        }
        NightFlowPanel {
            id: nightFlow
            objectName: "nightFlowPanel"
            pulseLog: viewer.pulseLog
            chart: revolutions
            flowDisplay: viewer.flowDisplay
            binMs: viewer.binMs
            pixelScale: viewer.pixelScale
            visible: viewer.chartName === "Metered Revolutions"
            Layout.fillWidth: true
        }
        EnvironmentChart {
            id: environment
            objectName: "environmentChart"
            pulseLog: viewer.pulseLog
            pixelScale: viewer.pixelScale
            series: viewer.chartName
            temperatureUnit: viewer.settings.temperatureUnit
            visible: viewer.chartName !== "Metered Revolutions"
            Layout.fillWidth: true
            Layout.fillHeight: true
        }
    }
}
