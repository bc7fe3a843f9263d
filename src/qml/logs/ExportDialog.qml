import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import Qt.labs.platform 1.1 as Platform
import localdev 1.0
import "ExportRules.js" as ExportRules
import "Units.js" as Units

// Saves the log or exports it; the log's own export functions write every file.
Dialog {
    id: dialog
    objectName: "exportDialog"

    property PulseLog pulseLog
    property string fullFilename: ""
    // [start, end] dates of the viewer's selection, or null.
    property var selection: null
    property QtObject host: globals.host
    property Settings settings: globals.settings
    property LibraryService library: globals.library

    property int format: ExportRules.storedFormat(settings.exportFormat)
    property string intervalText: "10"
    property string outputName: ""
    property bool nameChosen: false
    property string unit: Units.find(meta["Meter Reading Unit"]) ? meta["Meter Reading Unit"]
                                                               : Units.knownOrGallons(settings.volumeUnit)
    property int mode: 0
    property string initialText: ExportRules.readingText(meta, "Meter Reading Start")
    property string endingText: ExportRules.readingText(meta, "Meter Reading End")
    property string pulsesPerUnitText: String(ExportRules.defaultPulsesPerUnit)
    property string unitsPerPulseText: String(ExportRules.defaultUnitsPerPulse)
    property int page: 0

    readonly property var meta: pulseLog ? pulseLog.metaData : ({})
    readonly property bool grouped: ExportRules.grouped(format)
    readonly property real intervalSeconds: ExportRules.intervalSeconds(intervalText)
    readonly property var flow: ExportRules.derive(mode, initialText, endingText,
                                                    mode === 2 ? pulsesPerUnitText : unitsPerPulseText,
                                                    pulseLog ? pulseLog.totalPulseCount : 0)
    readonly property bool canExport: outputName !== ""
                                      && (!grouped || (flow.valid && isFinite(intervalSeconds)))
    // The form's labels share one column, the flow-rate fields' too.
    readonly property real labelWidth: 215
    readonly property real columnSpacing: 8
    readonly property bool limitToSelection: format !== ExportRules.RLOG && selection !== null && limitBox.checked

    title: "Save/Export"
    modal: true
    parent: Overlay.overlay
    anchors.centerIn: parent
    // Never wider than the window, whatever the file name.
    width: parent ? Math.min(implicitWidth, parent.width - 24) : implicitWidth

    function defaultName() {
        var r = ExportRules.replacement(format, isFinite(intervalSeconds) ? intervalSeconds : 10)
        var base = r === null ? fullFilename : host.replaceDotExt(fullFilename, r)
        return host.findUnusedFileName(base)
    }
    function refreshName() { if (!nameChosen) outputName = defaultName() }
    onFormatChanged: refreshName()
    onIntervalSecondsChanged: refreshName()
    Component.onCompleted: refreshName()

    // Runs the export; returns [positivity, message], or null while the report is being written.
    function run() {
        var name = outputName
        var from = limitToSelection ? selection[0] : new Date(NaN)
        var to = limitToSelection ? selection[1] : new Date(NaN)
        var ok = false
        var total = pulseLog.totalPulseCount
        var g = ExportRules.gallonArguments(mode, unit, initialText, endingText, flow.unitsPerPulse, total)
        var ms = Math.round(intervalSeconds * 1000)
        switch (format) {
        case ExportRules.RLOG:
            ok = pulseLog.saveRaw(name)
            if (ok && library)
                library.addFile(name)
            break
        case ExportRules.PULSES: ok = pulseLog.exportPulsesCsv(name, from, to); break
        case ExportRules.ENVIRONMENT: ok = pulseLog.exportEnvironmentCsv(name, from, to); break
        case ExportRules.META: ok = pulseLog.exportMetaDataCsv(name); break
        case ExportRules.GROUPED:
            ok = pulseLog.exportGroupedCsv(name, ms, "Gallons", g.gallonsPerPulse, g.initial, g.ending, from, to); break
        case ExportRules.TRACEWIZ:
            ok = pulseLog.exportMM100(name, ms, "Gallons", g.gallonsPerPulse, g.initial, g.ending, from, to); break
        case ExportRules.XLSX:
            ok = pulseLog.exportXLSX(name, ms, "Gallons", g.gallonsPerPulse, g.initial, g.ending, from, to); break
        case ExportRules.REPORT:
            // Written on the thread pool: the dialog stays until reportWriter reports.
            if (reportWriter.start(pulseLog, name, from, to, unit, ExportRules.pageKeys[page]))
                return null
            break
        }
        return ExportRules.resultMessage(format, ok, host.filenameFromFile(name))
    }

    CustomerReportWriter {
        id: reportWriter
        objectName: "reportWriter"
        onFinished: {
            var m = ExportRules.resultMessage(ExportRules.REPORT, ok, dialog.host.filenameFromFile(fileName))
            globals.globalMessage(m[0], m[1])
            dialog.close()
        }
    }

    footer: DialogButtonBox {
        Button {
            objectName: "exportOk"
            text: "OK"
            enabled: dialog.canExport && !reportWriter.busy
            onClicked: {
                dialog.settings.exportFormat = dialog.format
                var m = dialog.run()
                if (m === null)
                    return
                globals.globalMessage(m[0], m[1])
                dialog.close()
            }
        }
        Button {
            text: "Cancel"
            DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
        }
    }

    Platform.FileDialog {
        id: saveDialog
        fileMode: Platform.FileDialog.SaveFile
        nameFilters: [ExportRules.formats[dialog.format].filter]
        currentFile: dialog.host.urlFromLocalFile(dialog.outputName)
        onAccepted: {
            dialog.outputName = dialog.host.urlToLocalFile(file)
            dialog.nameChosen = true
        }
    }

    GridLayout {
        width: dialog.availableWidth
        columns: 2
        columnSpacing: dialog.columnSpacing
        Label { text: "Format:"; Layout.preferredWidth: dialog.labelWidth }
        ComboBox {
            objectName: "formatBox"
            model: ExportRules.formatNames()
            currentIndex: dialog.format
            onActivated: dialog.format = index
            Layout.preferredWidth: 320
        }
        Label { text: "File:"; Layout.preferredWidth: dialog.labelWidth }
        RowLayout {
            Layout.fillWidth: true
            Label {
                objectName: "outputName"
                text: dialog.host.filenameFromFile(dialog.outputName)
                textFormat: Text.PlainText
                elide: Text.ElideMiddle
                Layout.fillWidth: true
                Layout.maximumWidth: 320
                ToolTip.text: text
                ToolTip.visible: truncated && nameHover.hovered
                HoverHandler { id: nameHover }
            }
            Button { text: "Change..."; onClicked: saveDialog.open() }
        }
        CheckBox {
            id: limitBox
            objectName: "limitToSelection"
            text: "Limit exported data to selected region"
            visible: dialog.format !== ExportRules.RLOG
            enabled: dialog.selection !== null
            checked: dialog.selection !== null
            Layout.columnSpan: 2
        }
        Label { text: "Paper:"; visible: dialog.format === ExportRules.REPORT; Layout.preferredWidth: dialog.labelWidth }
        ComboBox {
            objectName: "pageBox"
            visible: dialog.format === ExportRules.REPORT
            model: ExportRules.pageNames
            currentIndex: dialog.page
            onActivated: dialog.page = index
        }
        Label { text: "Interval Duration (seconds): "; visible: dialog.grouped; Layout.preferredWidth: dialog.labelWidth }
        TextField {
            objectName: "intervalField"
            visible: dialog.grouped
            text: dialog.intervalText
            onTextChanged: dialog.intervalText = text
        }
        FlowRateFields {
            visible: dialog.grouped
            dialog: dialog
            Layout.columnSpan: 2
        }
        Label {
            objectName: "readingsNotice"
            text: ExportRules.readingsNotice(dialog.mode, dialog.meta, dialog.flow.valid)
            visible: dialog.grouped && text !== ""
            wrapMode: Text.WordWrap
            Layout.columnSpan: 2
            Layout.maximumWidth: 480
        }
    }
}
