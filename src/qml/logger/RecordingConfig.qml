import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import Qt.labs.platform 1.1 as Platform

// The recording that plays back, its rate and whether its own time stamps are ignored.
GroupBox {
    id: box

    property Settings settings: globals.settings
    property QtObject host: globals.host
    property real pixelScale: globals.pixelScale

    title: "Recording Configuration"

    GridLayout {
        columns: 3
        columnSpacing: 8 * box.pixelScale

        Label { text: "File name:" }
        Label {
            objectName: "recordingFileName"
            textFormat: Text.PlainText
            text: box.settings.recordingSettings.filename
            elide: Text.ElideMiddle
            Layout.fillWidth: true
            Layout.maximumWidth: 360 * box.pixelScale
        }
        Button {
            text: "Choose File..."
            onClicked: fileDialog.open()
        }

        Label { text: "Target playback rate:" }
        RowLayout {
            TextField {
                id: rateField
                objectName: "playbackRateField"
                text: String(box.settings.recordingSettings.playbackRate)
                validator: DoubleValidator { bottom: 0.001; top: 100000; decimals: 3; notation: DoubleValidator.StandardNotation }
                selectByMouse: true
                Layout.preferredWidth: 90 * box.pixelScale
                function store() {
                    var rate = Number(text)
                    if (acceptableInput && isFinite(rate) && rate > 0
                            && rate !== box.settings.recordingSettings.playbackRate)
                        box.settings.setField("recordingSettings", "playbackRate", rate)
                }
                onAccepted: store()
                onActiveFocusChanged: if (!activeFocus) store()
            }
            Label { text: "hz" }
        }
        Item { width: 1 }

        Label { text: "Override timestamps:" }
        CheckBox {
            objectName: "forceRateBox"
            checked: box.settings.recordingSettings.forceRate === true
            onToggled: box.settings.setField("recordingSettings", "forceRate", checked)
        }
        Item { width: 1 }
    }

    Platform.FileDialog {
        id: fileDialog
        title: "Please choose a file"
        nameFilters: ["Recordings (*.csv *.bin)", "All files (*)"]
        folder: box.host && box.settings.recordingSettings.filename !== ""
                ? box.host.urlFromLocalFile(box.host.parentFolder(box.settings.recordingSettings.filename)) : ""
        onAccepted: if (box.host) box.settings.setField("recordingSettings", "filename", box.host.urlToLocalFile(file))
    }
}
