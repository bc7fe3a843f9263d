import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import localdev 1.0

// The recording that plays back as the data source.
ColumnLayout {
    id: panel

    property FileRecording recording: globals.fileRecording
    property real pixelScale: globals.pixelScale

    readonly property bool loaded: recording.sampleCount > 0

    spacing: 2 * pixelScale

    RowLayout {
        spacing: 8 * panel.pixelScale
        StatusIcon {
            state: panel.loaded ? "good" : "error"
            size: 28 * panel.pixelScale
        }
        Label {
            objectName: "recordingStatusTitle"
            text: panel.loaded ? "Capture loaded" : "Couldn't open file"
            font.bold: true
            font.pixelSize: 16 * panel.pixelScale
        }
    }
    Label {
        visible: panel.loaded
        text: "Points: " + panel.recording.sampleCount
    }
    Label {
        visible: panel.loaded
        text: "Timestamped: " + (panel.recording.timestamped ? "yes" : "no")
    }
    Label {
        visible: panel.loaded && panel.recording.sourceRate > 0.01
        text: "Source Rate: " + panel.recording.sourceRate.toFixed(2) + " hz"
    }
}
