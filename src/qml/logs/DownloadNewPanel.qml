import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import localdev 1.0

// "Download New": every session not saved before, one after another, with the progress over
// all of them and a way to stop. The saver walks the list; this shows how far it got.
RowLayout {
    id: panel

    property real pixelScale: 1
    property SessionSaver saver
    property bool canStart: false
    // How many sessions are waiting now, for the button and its caption.
    property int newCount: 0
    readonly property bool running: saver !== null && saver.batchRunning

    spacing: 10 * pixelScale

    Button {
        objectName: "downloadNewButton"
        text: "Download New"
        enabled: panel.canStart && !panel.running && panel.newCount > 0
        onClicked: panel.saver.saveNew()
    }
    Label {
        objectName: "downloadNewState"
        text: panel.running ? "Session " + (panel.saver.batchPosition + 1) + " of " + panel.saver.batchCount
                            : !panel.canStart ? ""
                            : panel.newCount === 0 ? "Every session has been saved" : panel.newCount + " not saved yet"
    }
    ProgressBar {
        objectName: "downloadNewProgress"
        visible: panel.running
        from: 0
        to: 1
        value: panel.running ? panel.saver.progress : 0
        Layout.fillWidth: true
    }
    Button {
        objectName: "downloadNewCancel"
        text: "Cancel"
        visible: panel.running
        onClicked: panel.saver.cancel()
    }
}
