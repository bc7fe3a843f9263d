import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import localdev 1.0

// Shown while samples are being captured.
Pane {
    id: bar

    property FileRecording recording: globals.captureFileRecording
    property real pixelScale: globals.pixelScale
    signal trigger(string triggerId)

    padding: 4 * pixelScale

    RowLayout {
        anchors.fill: parent
        spacing: 10 * bar.pixelScale

        Image {
            id: recordIcon
            source: "qrc:/icons/record.svg"
            sourceSize.width: 20 * bar.pixelScale
            sourceSize.height: 20 * bar.pixelScale
            Timer {
                interval: 1000
                repeat: true
                running: bar.visible
                onTriggered: recordIcon.opacity = recordIcon.opacity > 0.5 ? 0.2 : 1.0
            }
        }
        Button {
            text: "Stop && Save"
            onClicked: bar.trigger("capture.startstop")
        }
        Button {
            text: "Abort"
            onClicked: bar.trigger("capture.abort")
        }
        Label {
            text: "Points: " + (typeof runtime !== "undefined" && runtime
                                ? runtime.localeFormatInteger(bar.recording.sampleCount)
                                : bar.recording.sampleCount)
        }
        Item { Layout.fillWidth: true }
    }
}
